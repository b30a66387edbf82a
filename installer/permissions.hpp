#pragma once

// Who may read and write what the package leaves beside agent.exe: the configuration may hold a
// PFX password, so SYSTEM and Administrators only, nothing inherited from Program Files. The log
// directory's descriptor (the same two, inherited by its files) is in MsiLockPermissionsEx.idt.
namespace tarn::installer {

constexpr wchar_t configuration_sddl[] = L"D:PAI(A;;FA;;;SY)(A;;FA;;;BA)";

}  // namespace tarn::installer
