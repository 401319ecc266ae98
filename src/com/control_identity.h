// The control's identities and registration values, shared by the registration code and the object.
#pragma once

#include <windows.h>

namespace voxtrel::com {

inline constexpr wchar_t kProgId[] = L"VOXTREL.VoxtrelCtrl.1";
inline constexpr wchar_t kTypeName[] = L"Voxtrel Control";
inline constexpr wchar_t kVersion[] = L"1.0";
inline constexpr WORD kTypeLibMajor = 1;
inline constexpr WORD kTypeLibMinor = 0;

// Recompose on resize, only iconic, can't link inside, inside-out, activate when visible, set
// client site first.
inline constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_ONLYICONIC |
                                     OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
                                     OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST;
static_assert(kMiscStatus == 0x20193);

// The initial size of the control on a form, in pixels of the screen.
inline constexpr int kInitialSizePixels = 20;

// Persisted state: the property exchange version (1.0) and then the extent.
inline constexpr DWORD kPersistVersion = 0x00010000;

}  // namespace voxtrel::com
