#pragma once
// Reads a medium's identity (MediumIdentity) from its first sectors: the partition table's own id, and
// each volume's serial number, label and size as its boot sector or superblock states them.
//
// References: the MBR disk signature (offset 440, 4 bytes) and the GPT header (UEFI 2.10, section 5.3.2:
// DiskGUID at offset 56); FAT (Microsoft's FAT32 File System document 1.03: BS_VolID, BS_VolLab, the dirty flags in
// BS_Reserved1); exFAT (Microsoft's exFAT File System document, 3.1 and 7.3: VolumeSerialNumber, VolumeFlags,
// PercentInUse, the volume-label entry 0x83); NTFS (the boot sector's volume serial at offset 72); ext2/3/4
// (s_uuid, s_volume_name, s_blocks_count); HFS+ (Apple TN1150: the volume header's createDate, blockSize,
// totalBlocks and finderInfo[6..7], the volume's 64-bit id).
//
// Reads at most a few KiB for each of at most maxRangesHashed partitions; a read error propagates.

#include "recovery/bytesource/ByteSource.h"
#include "recovery/model/MediumIdentity.h"

namespace vantrel::MediumIdentityReader {

// Partitions whose first sectors enter the fingerprint; a partition map says more only when damaged.
inline constexpr std::size_t maxRangesHashed = 128;
// The head of an image file fingerprinted when it holds no structure this reader knows.
inline constexpr std::int64_t headFallbackBytes = 64 * 1024;

struct Options {
    // Where the medium shows no partition table and no known volume, its fingerprint covers its first
    // headFallbackBytes (for image files, whose head changes only when the file is written); otherwise
    // such a medium has no fingerprint, since nothing on it tells it from another blank card.
    bool fingerprintHeadWhenUnknown = false;
};

MediumIdentity read(ByteSource& source, Options options = {});

// SHA-256 of the bytes, as 64 lower-case hexadecimal digits.
std::string sha256Hex(ByteView bytes);

} // namespace vantrel::MediumIdentityReader
