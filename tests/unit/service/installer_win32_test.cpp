// The event-log source in the registry, read back through the registry API, and the messages
// that Event Viewer finds through it.
#include "service/installer.h"
#include "service/installer_win32.h"

#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include <windows.h>

#include "tarnwick_messages.h"

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

// What --install sets after creating the service (Wine accepts the actions but keeps none, so
// they are read here rather than back from its service manager).
TEST(ServiceRecovery, RestartsAfter10And30And60SecondsAndForgetsFailuresAfterADay) {
    service::FailureActions recovery;
    const SERVICE_FAILURE_ACTIONSW& actions = *recovery.actions();
    EXPECT_EQ(actions.dwResetPeriod, 86400u);
    EXPECT_EQ(actions.lpRebootMsg, nullptr);
    EXPECT_EQ(actions.lpCommand, nullptr);
    const DWORD delays[] = {10000, 30000, 60000};
    ASSERT_EQ(actions.cActions, std::size(delays));
    for (std::size_t i = 0; i < std::size(delays); ++i) {
        EXPECT_EQ(actions.lpsaActions[i].Type, SC_ACTION_RESTART) << i;
        EXPECT_EQ(actions.lpsaActions[i].Delay, delays[i]) << i;
    }
    EXPECT_TRUE(recovery.flag()->fFailureActionsOnNonCrashFailures);
}

// Event Viewer formats an entry with the message table of the EventMessageFile, tarnwick.exe,
// which the build puts beside this test program.
TEST(EventMessageTable, ShowsTheStringsOfEachEntryAsText) {
    wchar_t self[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
    ASSERT_GT(length, 0u);
    std::wstring exe(self, length);
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"tarnwick.exe";
    std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> module(
        LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), &FreeLibrary);
    ASSERT_TRUE(module) << "LoadLibraryEx error " << GetLastError();

    struct Entry {
        DWORD id;
        std::vector<const wchar_t*> strings;
        const wchar_t* shown;
    };
    const Entry entries[] = {
        {TARNWICK_EVENT_SERVICE,
         {L"Tarnwick", L"Service Start failed w/err 0x00000008"},
         L"Tarnwick: Service Start failed w/err 0x00000008"},
        // The strings are shown as they are, even where they look like inserts.
        {TARNWICK_EVENT_LOG_RECORD,
         {L"Bind failed with error code :10048 (%1)"},
         L"Bind failed with error code :10048 (%1)"},
    };
    for (const Entry& entry : entries) {
        std::vector<DWORD_PTR> arguments;
        for (const wchar_t* string : entry.strings)
            arguments.push_back(reinterpret_cast<DWORD_PTR>(string));
        wchar_t text[512] = {};
        const DWORD written =
            FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                           module.get(), entry.id, 0, text, static_cast<DWORD>(std::size(text)),
                           reinterpret_cast<va_list*>(arguments.data()));
        ASSERT_GT(written, 0u) << "event " << entry.id << ": FormatMessage error "
                               << GetLastError();
        EXPECT_EQ(std::wstring(text, written), entry.shown) << "event " << entry.id;
    }
}

} // namespace
