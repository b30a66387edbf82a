// The descriptor the installer gives agent.conf, as Windows reads it (Wine keeps no descriptor on
// a file, so the file itself cannot be read back there).
#include <windows.h>

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <set>
#include <string>

#include "installer/permissions.hpp"

namespace tarn {
namespace {

std::string account(PSID sid) {
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(sid, &text);
    std::string result(text, text + wcslen(text));
    LocalFree(text);
    return result;
}

TEST(InstallerPermissions, ConfigurationForSystemAndAdministratorsOnly) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
        installer::configuration_sddl, SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the folder's permissions would be inherited";
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl != nullptr) << "no DACL: everyone may read";
    std::set<std::string> granted;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&entry)));
        ASSERT_EQ(ACCESS_ALLOWED_ACE_TYPE, entry->Header.AceType);
        EXPECT_EQ(static_cast<ACCESS_MASK>(FILE_ALL_ACCESS), entry->Mask);
        granted.insert(account(&entry->SidStart));
    }
    // LocalSystem and BUILTIN\Administrators, and nobody else.
    EXPECT_EQ((std::set<std::string>{"S-1-5-18", "S-1-5-32-544"}), granted);
    LocalFree(descriptor);
}

}  // namespace
}  // namespace tarn
