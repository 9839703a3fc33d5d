#include "consent/consent.h"

#include "consent/consent_manager.h"

namespace zelko::plenar::agent {

ConsentState& FieldOf(Consent& consent, ConsentField field) {
    switch (field) {
        case ConsentField::Support:
            return consent.support;
        case ConsentField::Marketing:
            return consent.marketing;
        case ConsentField::ProductEnhancement:
            return consent.productEnhancement;
        case ConsentField::TransferOutOfCountry:
            break;
    }
    return consent.transferOutOfCountry;
}

ConsentState FieldOf(const Consent& consent, ConsentField field) {
    return FieldOf(const_cast<Consent&>(consent), field);
}

const char* RegistryValueName(ConsentField field) {
    switch (field) {
        case ConsentField::Support:
            return "AllowSupport";
        case ConsentField::Marketing:
            return "AllowMarketing";
        case ConsentField::ProductEnhancement:
            return "AllowProductEnhancement";
        case ConsentField::TransferOutOfCountry:
            break;
    }
    return "AllowTransferOutOfCountry";
}

const char* PurposeId(ConsentField field) {
    switch (field) {
        case ConsentField::Support:
            return "prodsupport.device.telemetry.unmanaged.-.ps";
        case ConsentField::Marketing:
            return "advertising.device.telemetry.unmanaged.-.ps";
        case ConsentField::ProductEnhancement:
            return "prodsupport.device.telemetry.unmanaged.product_improvement.ps";
        case ConsentField::TransferOutOfCountry:
            break;
    }
    return "bizops.device.telemetry.unmanaged.transfer";
}

const char* RegistryText(ConsentState state) {
    switch (state) {
        case ConsentState::Accepted:
            return "Accepted";
        case ConsentState::Rejected:
            return "Rejected";
        case ConsentState::Unknown:
            break;
    }
    return "Unknown";
}

ConsentState StateFromRegistryText(const std::string& text) {
    if (text == "Accepted") return ConsentState::Accepted;
    if (text == "Rejected") return ConsentState::Rejected;
    return ConsentState::Unknown;
}

ConsentState StateFromPurposeState(const std::string& text) {
    if (text == "OptedIn") return ConsentState::Accepted;
    if (text == "OptedOut") return ConsentState::Rejected;
    return ConsentState::Unknown;
}

Consent ReadConsent() {
    Consent consent;
    for (ConsentField field : kConsentFields) {
        FieldOf(consent, field) = StateFromRegistryText(ConsentManager::ReadRegistrySubKey(
            platform::RegistryHive::LocalMachine, kConsentKey, RegistryValueName(field)));
    }
    return consent;
}

std::string ConsentHash(const Consent& consent) {
    std::string hash;
    for (ConsentField field : kConsentFields) {
        switch (FieldOf(consent, field)) {
            case ConsentState::Accepted:
                hash += '1';
                break;
            case ConsentState::Rejected:
                hash += '2';
                break;
            case ConsentState::Unknown:
                hash += '0';
                break;
        }
    }
    return hash;
}

Consent ParseConsentHash(const std::string& hash) {
    Consent consent;
    for (size_t i = 0; i < kConsentFields.size() && i < hash.size(); ++i) {
        FieldOf(consent, kConsentFields[i]) = hash[i] == '1'   ? ConsentState::Accepted
                                              : hash[i] == '2' ? ConsentState::Rejected
                                                               : ConsentState::Unknown;
    }
    return consent;
}

const std::map<std::string, std::string>& ConsentDefaults() {
    static const std::map<std::string, std::string> defaults = {
        {"ConsentDateTime", "Unknown"},
        {"ConsentID", "Unknown"},
        {"ConsentSource", "Unknown"},
        {"CountryCode", "US"},
        {"DNCH", "Unknown"},
        {"E394F9DF-191C-4EA3-B2C9-03995BCC9692", "4"},
        {"InCountryStorageAvailable", "False"},
        {"InCountryStorageRequired", "False"},
        {"Managed", "False"},
        {"PCaaS", "True"},
        {"PrivacyURL", "https://www.zelko.com/privacy"},
        {"PrivacyVersion", "Unknown"},
        {"RequireMarketingConsent", "True"},
        {"RequireProductEnhancementConsent", "True"},
        {"RequireSupportConsent", "False"},
        {"StorageURL", "https://telemetry-storage.zelko.com"},
        {"StorageVersion", "Unknown"},
        {"TelemetryURL", "https://telemetry-storage.zelko.com"},
        {"TelemetryVersion", "Unknown"},
        {"TenantID", "Individual"},
        {"TransferOutAllowed", "True"},
        {"TransferOutConsentRequired", "False"},
        {"WarrantyURL", "https://www.zelko.com/go/orderdocuments"},
        {"WarrantyVersion", "Unknown"},
        {"iszelko", "True"},
    };
    return defaults;
}

}  // namespace zelko::plenar::agent
