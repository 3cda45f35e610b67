#pragma once

#include <QtGlobal>

namespace iap {

// How a firmware file holds its image. Auto: decided from the content.
enum class ImageFormat
{
    Auto,
    Binary,   // the bytes of the file, as they are
    IntelHex, // text records, ':' first
    SRecord,  // Motorola S-records, 'S' first
    Elf,      // the PT_LOAD segments, placed by physical address
};

// What exactly is wrong with a record or with the layout of a structured file.
enum class RecordFault
{
    None,
    BadCharacter,      // not a hexadecimal digit where one belongs
    NotText,           // a control byte (NUL, Ctrl-Z, ...) in a text file; ImageFault::byte
    BadStart,          // the line does not start with ':' (HEX) or 'S' (S-record)
    BadLength,         // the length byte does not match the line
    UnknownType,       // a record type this format does not have
    BadAddressRecord,  // an address record with the wrong length
    BadEndRecord,      // an end-of-file record with data in it
    DataAfterEnd,      // records after the end-of-file or termination record
    LineTooLong,       // longer than any record can be
    TooManyBlocks,     // more separate pieces of data than any image has
    ElfHeader,         // the ELF header is cut short or names an unknown class or byte order
    ElfProgramHeaders, // the program headers lie outside the file or have the wrong size
    ElfSegmentOutside, // a segment's bytes lie outside the file
    ElfSegmentSize,    // a segment with more bytes in the file than in memory
    AddressOverflow,   // data beyond the end of the address space (4 GiB for 32-bit formats)
    Utf16Text,         // HEX or S-record text saved as UTF-16
};

// The particulars behind an image error, for the message.
struct ImageFault
{
    ImageFormat format = ImageFormat::Auto;
    RecordFault record = RecordFault::None;
    qint64 line = 0; // 1-based line of a text file; 0 when there is none
    // Two address ranges, first and last byte included: the overlapping pieces, or the data
    // before and after a large gap; for a start address far below the data, the 0xFF before
    // it and the data. firstLow is also the address given by --base.
    quint64 firstLow = 0;
    quint64 firstHigh = 0;
    quint64 secondLow = 0;
    quint64 secondHigh = 0;
    qint64 expected = 0; // record count stated by an S5/S6 record, or the span of an image
    qint64 found = 0;    // data records actually seen
    int byte = -1;       // the byte behind NotText
};

} // namespace iap
