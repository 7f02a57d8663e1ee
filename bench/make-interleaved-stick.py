#!/usr/bin/env python3
"""Makes a FAT32 stick image on which pairs of files grew in turns and were then deleted.

    make-interleaved-stick.py IMAGE SIZE_MIB MANIFEST A1 B1 [A2 B2 ...]

Each pair A, B is written as two programs appending to their files at once would leave them: A's first
chunk, B's first chunk, A's second, and so on, each chunk in the next free clusters, so that the two
files' clusters interleave. Chunks are 64 KiB for A and 48 KiB for B. Then both files are deleted as
a FAT driver deletes them: the first byte of the entry becomes 0xE5 and the chains are freed; the
entries keep their first cluster and size. Between pairs a live file of 200 KiB of zeros stands as a
separator. The stick has 4 KiB clusters (fewer on a stick below 1 GiB, which FAT32 needs to have its
65525 clusters), made by mkfs.fat; mtools makes the folder.

MANIFEST gets a line per file written: name, source path, size, clusters (runs "a-b" joined by ","),
as make-camera-card.sh writes them.
"""
import os
import struct
import subprocess
import sys


def main():
    image, size_mib, manifest = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    files = sys.argv[4:]
    if len(files) % 2:
        sys.exit("the files come in pairs")
    # 4 KiB clusters, or fewer sectors a cluster where FAT32 would have too few clusters.
    sectors_per_cluster = 8
    while sectors_per_cluster > 1 and (size_mib << 20) // (sectors_per_cluster * 512) < 66000:
        sectors_per_cluster //= 2
    if os.path.exists(image):
        os.remove(image)
    with open(image, "wb") as out:
        out.truncate(size_mib << 20)
    subprocess.run(["mkfs.fat", "-F", "32", "-s", str(sectors_per_cluster), "-S", "512", "-i", "20261211", "-n", "STICK", image],
                   check=True, stdout=subprocess.DEVNULL)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    subprocess.run(["mmd", "-i", image, "::WORK"], check=True, env=env)

    with open(image, "r+b") as dev:
        boot = dev.read(512)
        bytes_per_sector, spc = struct.unpack_from("<HB", boot, 11)
        reserved, fats = struct.unpack_from("<HB", boot, 14)
        fat_sectors = struct.unpack_from("<I", boot, 36)[0]
        root_cluster = struct.unpack_from("<I", boot, 44)[0]
        total_sectors = struct.unpack_from("<I", boot, 32)[0]
        cluster_bytes = bytes_per_sector * spc
        fat_offset = reserved * bytes_per_sector
        data_offset = (reserved + fats * fat_sectors) * bytes_per_sector
        clusters = (total_sectors - reserved - fats * fat_sectors) // spc
        dev.seek(fat_offset)
        fat = bytearray(dev.read(fat_sectors * bytes_per_sector))

        def entry(n):
            return struct.unpack_from("<I", fat, 4 * n)[0] & 0x0FFFFFFF

        def set_entry(n, value):
            struct.pack_into("<I", fat, 4 * n, value)

        def cluster_offset(n):
            return data_offset + (n - 2) * cluster_bytes

        next_free = [2]

        def allocate():
            n = next_free[0]
            while n < clusters + 2 and entry(n) != 0:
                n += 1
            if n >= clusters + 2:
                sys.exit("the stick is full")
            next_free[0] = n + 1
            set_entry(n, 0x0FFFFFFF)
            return n

        def chain_of(first):
            chain = [first]
            while entry(chain[-1]) < 0x0FFFFFF8 and len(chain) <= clusters:
                chain.append(entry(chain[-1]))
            return chain

        # The folder's cluster, as mmd made it.
        work_cluster = None
        root = chain_of(root_cluster)
        for c in root:
            dev.seek(cluster_offset(c))
            data = dev.read(cluster_bytes)
            for i in range(0, cluster_bytes, 32):
                if data[i:i + 11] == b"WORK       ":
                    work_cluster = struct.unpack_from("<H", data, i + 20)[0] << 16 | struct.unpack_from("<H", data, i + 26)[0]
        if work_cluster is None:
            sys.exit("no folder WORK")
        directory_slots = []  # byte offsets of free 32-byte entries in WORK
        dev.seek(cluster_offset(work_cluster))
        data = dev.read(cluster_bytes)
        for i in range(0, cluster_bytes, 32):
            if data[i] == 0:
                directory_slots.append(cluster_offset(work_cluster) + i)

        def runs(chain):
            parts, start = [], chain[0]
            for a, b in zip(chain, chain[1:] + [None]):
                if b != a + 1:
                    parts.append(f"{start}-{a}")
                    start = b
            return ",".join(parts)

        def short_name(index, path):
            ext = os.path.splitext(path)[1][1:].upper()[:3].ljust(3)
            return f"F{index:07d}".encode() + ext.encode()

        def write_entry(slot, name, first, size, deleted=False):
            record = bytearray(32)
            record[0:11] = name
            record[11] = 0x20
            struct.pack_into("<H", record, 20, first >> 16)
            struct.pack_into("<H", record, 26, first & 0xFFFF)
            struct.pack_into("<I", record, 28, size)
            # 2026-12-11 10:00
            struct.pack_into("<HH", record, 22, (10 << 11), ((2026 - 1980) << 9) | (12 << 5) | 11)
            struct.pack_into("<HH", record, 14, (10 << 11), ((2026 - 1980) << 9) | (12 << 5) | 11)
            if deleted:
                record[0] = 0xE5
            dev.seek(slot)
            dev.write(record)

        lines = []
        index = 0
        separator = bytes(200 * 1024)
        for pair in range(0, len(files), 2):
            a, b = files[pair], files[pair + 1]
            contents = {a: open(a, "rb").read(), b: open(b, "rb").read()}
            chunk = {a: 64 * 1024, b: 48 * 1024}
            chains = {a: [], b: []}
            written = {a: 0, b: 0}
            tail = {a: None, b: None}
            while written[a] < len(contents[a]) or written[b] < len(contents[b]):
                for path in (a, b):
                    step = min(chunk[path], len(contents[path]) - written[path])
                    if step <= 0:
                        continue
                    done = 0
                    while done < step:
                        # The last cluster may have room still.
                        used = written[path] % cluster_bytes
                        if used == 0:
                            n = allocate()
                            if tail[path] is not None:
                                set_entry(tail[path], n)
                            tail[path] = n
                            chains[path].append(n)
                        room = cluster_bytes - (written[path] % cluster_bytes)
                        take = min(room, step - done)
                        dev.seek(cluster_offset(tail[path]) + written[path] % cluster_bytes)
                        dev.write(contents[path][written[path]:written[path] + take])
                        written[path] += take
                        done += take
            for path in (a, b):
                index += 1
                name = short_name(index, path)
                write_entry(directory_slots.pop(0), name, chains[path][0], len(contents[path]), deleted=True)
                lines.append(f"::/WORK/{name[:8].decode().rstrip()}.{name[8:].decode().rstrip()}\t{os.path.abspath(path)}\t"
                             f"{len(contents[path])}\t{runs(chains[path])}\n")
                # Deleted: the chain is freed.
                for c in chains[path]:
                    set_entry(c, 0)
            # A live separator, so that the next pair does not start in the freed clusters.
            index += 1
            sep_chain = []
            for offset in range(0, len(separator), cluster_bytes):
                n = allocate()
                if sep_chain:
                    set_entry(sep_chain[-1], n)
                sep_chain.append(n)
                dev.seek(cluster_offset(n))
                dev.write(separator[offset:offset + cluster_bytes])
            write_entry(directory_slots.pop(0), f"SEP{index:05d}BIN".encode(), sep_chain[0], len(separator))
        for copy in range(fats):
            dev.seek(fat_offset + copy * fat_sectors * bytes_per_sector)
            dev.write(fat)
    with open(manifest, "w") as out:
        out.writelines(lines)


if __name__ == "__main__":
    main()
