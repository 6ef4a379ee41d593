// The event-log source in the registry, read back through the registry API.
#include "service/installer.h"

#include <gtest/gtest.h>

#include <string>

#include <windows.h>

namespace {

constexpr const wchar_t* kKey =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Tarnwick";

bool keyExists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

TEST(EventSourceRegistry, NamesTheExecutableAsMessageFileAndIsRemovedAgain) {
    if (keyExists())
        GTEST_SKIP() << "a Tarnwick event source is registered already; not touching it";
    ASSERT_TRUE(registerEventSource());

    wchar_t exe[MAX_PATH];
    ASSERT_GT(GetModuleFileNameW(nullptr, exe, MAX_PATH), 0u);
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    DWORD type = 0;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"EventMessageFile",
                           RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, &type, value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(std::wstring(value), std::wstring(exe));

    DWORD types = 0;
    size = sizeof types;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, kKey, L"TypesSupported", RRF_RT_REG_DWORD, nullptr,
                           &types, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(types, 7u);

    // Registering again over an existing source is not a failure.
    EXPECT_TRUE(registerEventSource());
    removeEventSource();
    EXPECT_FALSE(keyExists());
}

} // namespace
