// The encrypted JSON reader over a file whose layers the input reaches (see EncryptedFileFrom):
// the raw file, the compressed stream or the JSON text inside.
#include <cstdint>
#include <string>

#include "foundation/cryptography.h"
#include "foundation/utils.h"
#include "fuzz/support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const zelko::plenar::crypto::Cryptography crypto(zelko::fuzz::kPassword);
    static const auto path = zelko::fuzz::Root() / "state.ejson";
    zelko::fuzz::WriteFile(path, zelko::fuzz::EncryptedFileFrom(std::string_view(reinterpret_cast<const char*>(data), size)));
    try {
        (void)zelko::plenar::agent::Utils::LoadEncryptedJsonFile(path, crypto).dump();
    } catch (const std::exception&) {
        // Every damaged file raises to its reader, which treats it as missing.
    }
    return 0;
}
