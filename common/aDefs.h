// Device model codes, as a device reports its model, and their display names.
#pragma once

#include <cstdint>

typedef uint32_t aModelCode;

enum : aModelCode {
    aMODEL_ARDEL = 4,
    aMODEL_BOVIN = 5,
    aMODEL_CIRRIX = 13,
    aMODEL_DUNEL1 = 14,
    aMODEL_EVRAST = 15,
    aMODEL_FARNEL = 16,
    aMODEL_GOSTRA = 17,
    aMODEL_HALVEK = 18,
    aMODEL_ILMORA = 19,
    aMODEL_JESSUN1 = 20,
    aMODEL_KORVEL = 21,
    aMODEL_JESSUN2 = 22,
    aMODEL_LUNDER1 = 23,
    aMODEL_MERVIK = 24,
    aMODEL_KORVELPRO = 25,
    aMODEL_ORVAN = 26,
    aMODEL_NOSTEL = 27,
};

// The model's display name, such as "Orvan"; "Unknown" for a code without one.
const char* aDefs_GetModelName(aModelCode model);
