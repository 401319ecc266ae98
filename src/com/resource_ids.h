// Resource ids shared by the control's resource script and its code.
#pragma once

#define IDS_VOXTREL_TYPENAME 1
#define IDI_VOXTREL 201
