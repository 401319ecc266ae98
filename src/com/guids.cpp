// Defines the control's GUIDs (library, interfaces, class) declared by the type library's header.
#include <windows.h>

#include <ocidl.h>
#include <ole2.h>

#include <initguid.h>

#include "com/voxtrel_tlb.h"
