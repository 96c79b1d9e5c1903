#include "common/aDefs.h"

namespace {

struct ModelName {
    aModelCode code;
    const char* name;
};

const ModelName MODEL_NAMES[] = {
    {aMODEL_ARDEL, "Ardel"},     {aMODEL_BOVIN, "Bovin"},       {aMODEL_CIRRIX, "Cirrix"},
    {aMODEL_DUNEL1, "Dunel1"},   {aMODEL_EVRAST, "Evrast"},     {aMODEL_FARNEL, "Farnel"},
    {aMODEL_GOSTRA, "Gostra"},   {aMODEL_HALVEK, "Halvek"},     {aMODEL_ILMORA, "Ilmora"},
    {aMODEL_JESSUN1, "Jessun1"}, {aMODEL_KORVEL, "Korvel"},     {aMODEL_JESSUN2, "Jessun2"},
    {aMODEL_LUNDER1, "Lunder1"}, {aMODEL_MERVIK, "Mervik"},     {aMODEL_KORVELPRO, "Korvelpro"},
    {aMODEL_ORVAN, "Orvan"},     {aMODEL_NOSTEL, "Nostel"},
};

} // namespace

const char* aDefs_GetModelName(aModelCode model)
{
    for (const ModelName& entry : MODEL_NAMES) {
        if (entry.code == model) return entry.name;
    }
    return "Unknown";
}
