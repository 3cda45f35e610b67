#pragma once

#include "imagetypes.h"

// What the start of a file says it is, for the loader (through detectFormat) and for the text
// reader, which refuses HEX or S-record text saved as UTF-16.
namespace iap {

struct TextSniff
{
    ImageFormat format = ImageFormat::Binary; // IntelHex or SRecord for record text
    bool utf16 = false;                       // ... written as UTF-16
};

// Looks at the first DetectBytes of data only.
TextSniff sniffRecordText(const char *data, qint64 size);

} // namespace iap
