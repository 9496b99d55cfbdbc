#pragma once

#include <string>

#include "ExtractionContext.h"
#include "ZipLayer.h"

namespace Extraction {

// Names the files the installed version put on the drive that the new
// version no longer ships (and their emptied folders) to the zip layer,
// which removes them inside the commit and brings them back if it fails.
// Only a file that is there with the size its record gives: a record is a
// claim anyone with the stick can write. Raises MessageError when the layer
// refuses one.
void RemoveObsoleteOnCommit(const ZipLayer& zip, HZIP handle, const ExtractionContext& context,
                            const std::wstring& destination);

}  // namespace Extraction
