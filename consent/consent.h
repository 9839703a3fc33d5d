#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

namespace zelko::plenar::agent {

// The consent hive; other software of the maker reads it too, so names and texts are fixed.
inline constexpr char kConsentKey[] = "SOFTWARE\\Policies\\Zelko\\Consent";
inline constexpr char kConsentProgressValue[] = "ZelkoPlenar_consent_progress";
inline constexpr char kUploadedHashValue[] = "ZelkoPlenar_uploaded_hash";

enum class ConsentState : int32_t { Unknown = 0, Accepted = 1, Rejected = 2 };

struct Consent {
    ConsentState support = ConsentState::Unknown;
    ConsentState marketing = ConsentState::Unknown;
    ConsentState productEnhancement = ConsentState::Unknown;
    ConsentState transferOutOfCountry = ConsentState::Unknown;

    friend bool operator==(const Consent&, const Consent&) = default;
};

// The four purposes, in the order of the fields, the hash digits and the registry writes.
enum class ConsentField { Support, Marketing, ProductEnhancement, TransferOutOfCountry };
inline constexpr std::array<ConsentField, 4> kConsentFields = {ConsentField::Support, ConsentField::Marketing,
                                                               ConsentField::ProductEnhancement,
                                                               ConsentField::TransferOutOfCountry};

ConsentState& FieldOf(Consent& consent, ConsentField field);
ConsentState FieldOf(const Consent& consent, ConsentField field);
// "AllowSupport", ...
const char* RegistryValueName(ConsentField field);
// The consent service's purpose id of the field.
const char* PurposeId(ConsentField field);

// "Accepted", "Rejected", "Unknown".
const char* RegistryText(ConsentState state);
// Exact comparisons: anything but the two known words is Unknown.
ConsentState StateFromRegistryText(const std::string& text);
ConsentState StateFromPurposeState(const std::string& text);

// The four purpose values of the hive; a value that cannot be read is Unknown.
Consent ReadConsent();
// One digit per field: '0' Unknown, '1' Accepted, '2' Rejected.
std::string ConsentHash(const Consent& consent);
// The first four characters, if present; anything but '1' and '2' is Unknown.
Consent ParseConsentHash(const std::string& hash);

// The descriptive defaults of the hive, by value name in byte order.
const std::map<std::string, std::string>& ConsentDefaults();

}  // namespace zelko::plenar::agent
