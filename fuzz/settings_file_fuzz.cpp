// Any Tarnwick.xml, as a hand edit or a broken disk leaves it: the loader must not crash, and
// what it read must survive being saved and read again unchanged.
#include "fuzz_check.h"
#include "settings/settings.h"

#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    BridgeSettings loaded;
    loadSettingsText(text, loaded);

    // The saved file is complete, and reading it over the same record changes nothing. (Over
    // the same record, because a negative colour is written but not read back.)
    const std::string saved = settingsDocument(loaded);
    BridgeSettings again = loaded;
    FUZZ_CHECK(loadSettingsText(saved, again));
    FUZZ_CHECK(settingsDocument(again) == saved);
    FUZZ_CHECK(again.Transverters.size() == loaded.Transverters.size());
    return 0;
}
