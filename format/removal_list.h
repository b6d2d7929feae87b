#pragma once
// The removal list: the files and folders the new version no longer has, which the installer
// removes after every write and before the version is recorded. A file is removed only when its
// content is one that an old version held (size and CRC-32); anything else at that name (a
// player's change) is left where it is, and a name the list does not give is never touched. A
// folder is removed only when it is left empty.
//
// One resource of type QPATCH_REMOVE_TYPE, id IDR_FIRST_CHUNK; little-endian, unaligned:
//   "QRMV", u16 format (1), u16 zero, u32 count; then count records of
//   kind          1 byte: RemoveFile or RemoveFolder
//   zero          1 byte
//   nameLength    2 bytes, 1 to MaxRemovalNameLength units
//   name          2 * nameLength bytes, UTF-16, relative to the game folder, no zero unit
//   identities    2 bytes: files 1 or more, folders 0
//   identity      identities x (8 bytes size, 4 bytes CRC-32)
// Files come before folders, and a folder before the folder that holds it.
#include <stdint.h>

#define QPATCH_REMOVE_TYPE L"QPATCHREMOVE"
#define QPATCH_REMOVE_TYPE_U16 u"QPATCHREMOVE"  // the same name for the publisher's tool

enum : uint32_t {
    RemovalHeaderSize = 12,
    RemovalFormat = 1,
    MaxRemovalNameLength = 511,  // as an entry's name
    RemovalIdentitySize = 12,
};

enum : uint8_t { RemoveFile = 1, RemoveFolder = 2 };

// One record, read in place.
struct Removal {
    uint8_t kind;
    uint32_t nameLength;
    const uint8_t *name;  // nameLength little-endian UTF-16 units
    uint32_t identityCount;
    const uint8_t *identities;  // identityCount x RemovalIdentitySize bytes
};

// Reads the list's records one after another.
struct RemovalReader {
    const uint8_t *at;
    uint32_t left;   // bytes after at
    uint32_t count;  // records still to read
};

enum class RemovalRead : uint8_t { Record, End, Malformed };

// Returns: false when size bytes at data do not start with a list's header; otherwise true with
// *reader at the first record.
bool OpenRemovalList(const uint8_t *data, uint32_t size, RemovalReader *reader);

// Returns: Record with *removal; End once every record was read and no byte is left over;
// Malformed for a record that breaks a rule above (its kind, its name, its identities, a record
// past the end, bytes after the last record).
RemovalRead NextRemoval(RemovalReader *reader, Removal *removal);

// Returns: true when a file of size bytes and this CRC-32 is one of the record's contents.
bool RemovalNamesContent(const Removal &removal, uint64_t size, uint32_t crc);

// The publisher's side. Returns: the bytes of a record with a name of nameLength units and
// identityCount identities.
inline uint32_t RemovalRecordSize(uint32_t nameLength, uint32_t identityCount)
{
    return 4 + 2 * nameLength + 2 + identityCount * RemovalIdentitySize;
}

// Writes the header of a list of count records at out (RemovalHeaderSize bytes).
void PutRemovalHeader(uint8_t *out, uint32_t count);

// Writes one record at out (RemovalRecordSize bytes).
void PutRemoval(uint8_t *out, uint8_t kind, const char16_t *name, uint32_t nameLength,
                const uint64_t *sizes, const uint32_t *crcs, uint32_t identityCount);
