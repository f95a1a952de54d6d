#!/usr/bin/env python3
"""Writes the fuzzers' seeds into tests/fuzz/corpus/<target>/ from real tools: boot sectors and
metadata of volumes made by mkfs.vfat, mkfs.exfat and mkntfs, documents of tests/data/corpus,
pictures made by ImageMagick and media made by ffmpeg. Run again to remake them (the output
differs in volume serials and timestamps, nothing else)."""

import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "tests", "fuzz", "corpus")
DOCS = os.path.join(ROOT, "tests", "data", "corpus")
MAX_SECTORS = 8192  # what the allocation fuzzer lays out


def run(cmd):
    return subprocess.run(cmd, shell=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def volumes(tmp):
    """(name, image bytes) of small real volumes."""
    recipes = [
        ("fat12", 1440, "mkfs.vfat -F 12"),
        ("fat12-4k-sectors", 4096, "mkfs.vfat -F 12 -S 4096"),
        ("fat16", 20 * 1024, "mkfs.vfat -F 16 -s 4"),
        ("fat16-reserved", 20 * 1024, "mkfs.vfat -F 16 -R 4 -f 1"),
        ("fat32", 40 * 1024, "mkfs.vfat -F 32 -s 1"),
        ("exfat", 4 * 1024, "mkfs.exfat"),
        ("exfat-4k-clusters", 4 * 1024, "mkfs.exfat -c 4096"),
        ("ntfs", 2 * 1024, "mkntfs -F -q"),
        ("ntfs-4k-clusters", 4 * 1024, "mkntfs -F -q -c 4096"),
    ]
    out = []
    for name, kib, mkfs in recipes:
        path = os.path.join(tmp, name + ".img")
        with open(path, "wb") as f:
            f.truncate(kib * 1024)
        if not run(f"{mkfs} '{path}'"):
            print(f"skipped {name}: {mkfs} failed", file=sys.stderr)
            continue
        if name.startswith("fat"):
            run(f"mcopy -i '{path}' '{os.path.join(DOCS, 'simple-list.doc')}' ::/A.DOC")
        with open(path, "rb") as f:
            out.append((name, f.read()))
    out.append(("hfs", hfs_volume()))
    out.append(("hfs-plus", hfs_plus_volume()))
    return out


def hfs_volume():
    """An HFS volume of 512-byte blocks: master directory block, bitmap in sector 3."""
    sectors = 2048
    img = bytearray(sectors * 512)
    mdb = 1024
    img[mdb:mdb + 2] = b"BD"
    struct.pack_into(">H", img, mdb + 14, 3)        # bitmap start sector
    blocks = sectors - 8
    struct.pack_into(">H", img, mdb + 18, blocks)   # allocation blocks
    struct.pack_into(">I", img, mdb + 20, 512)      # block size
    struct.pack_into(">H", img, mdb + 28, 5)        # first allocation block sector
    img[3 * 512:3 * 512 + 40] = b"\xff" * 16 + b"\xf0\x0f" * 12
    return bytes(img)


def hfs_plus_volume():
    """An HFS+ volume of 4096-byte blocks, its allocation file in two extents."""
    blocks = 1024
    img = bytearray(blocks * 4096)
    vh = 1024
    img[vh:vh + 4] = b"H+\x00\x04"
    struct.pack_into(">I", img, vh + 40, 4096)
    struct.pack_into(">I", img, vh + 44, blocks)
    struct.pack_into(">IIII", img, vh + 128, 1, 1, 900, 1)  # allocation file extents
    img[4096:4096 + 32] = b"\xff" * 20 + b"\x81" * 12
    img[900 * 4096:900 * 4096 + 8] = b"\x3c" * 8
    return bytes(img)


def runs(image, skip_ff):
    """The allocation fuzzer's layout of a volume: its length, then its non-zero sector runs
    (leaving out sectors of all 0xFF too when skip_ff: NTFS's empty log file, never read)."""
    sectors = min(len(image) // 512, MAX_SECTORS)
    out = bytearray(struct.pack("<I", len(image) // 512))

    def kept(s):
        sector = image[s * 512:(s + 1) * 512]
        return any(sector) and not (skip_ff and sector == b"\xff" * 512)

    s = 0
    while s < sectors:
        if not kept(s):
            s += 1
            continue
        first = s
        while s < sectors and s - first < 0xFFFF and kept(s):
            s += 1
        out += struct.pack("<IH", first, s - first) + image[first * 512:s * 512]
    return bytes(out)


def exfat_variants(image):
    """The exFAT volume with its root directory's allocation bitmap entry broken: naming
    cluster 1, naming a cluster past the volume, and missing: (name suffix, volume)."""
    bps = 1 << image[108]
    spc = 1 << image[109]
    heap, root = struct.unpack_from("<II", image, 88)[0], struct.unpack_from("<I", image, 96)[0]
    at = (heap + (root - 2) * spc) * bps
    entry = next((at + i for i in range(0, bps, 32) if image[at + i] == 0x81), None)
    if entry is None:
        return []
    out = []
    for suffix, change in [("bitmap-cluster-1", lambda v: struct.pack_into("<I", v, entry + 20, 1)),
                           ("bitmap-past-volume", lambda v: struct.pack_into("<I", v, entry + 20, 0xFFFFFF00)),
                           ("no-bitmap", lambda v: v.__setitem__(entry, 0x01))]:
        volume = bytearray(image)
        change(volume)
        out.append((suffix, bytes(volume)))
    return out


def pictures_and_media(tmp):
    """(name, bytes) of small pictures and media files."""
    recipes = [
        ("photo.jpg", "convert -seed 1 -size 64x48 plasma:fractal -quality 80"),
        ("progressive.jpg", "convert -seed 2 -size 48x32 plasma:fractal -interlace Plane"),
        ("picture.png", "convert -seed 3 -size 40x30 plasma:fractal"),
        ("picture.bmp", "convert -seed 4 -size 21x13 plasma:fractal BMP3:"),
        ("le.tif", "convert -seed 5 -size 32x24 plasma:fractal -compress none -endian LSB"),
        ("be.tif", "convert -seed 6 -size 32x24 plasma:fractal -compress zip -endian MSB"),
        ("picture.gif", "convert -seed 7 -size 16x16 plasma:fractal"),
    ]
    video = "-f lavfi -i testsrc=size=64x48:rate=10"
    sound = "-f lavfi -i sine=frequency=440:sample_rate=8000"
    media = [
        ("clip.mp4", f"{video} -t 0.5 -c:v mpeg4 -brand mp42"),
        ("clip.3gp", f"{video} -t 0.5 -s 176x144 -c:v h263"),
        ("clip.mov", f"{video} -t 0.5 -c:v mpeg4"),
        ("clip.avi", f"{video} -t 0.5 -c:v mpeg4"),
        ("sound.wav", f"{sound} -t 0.2"),
        ("clip.mpg", "-f lavfi -i testsrc=size=64x48:rate=25 -t 0.5 -c:v mpeg1video -f mpeg"),
        ("clip.m2ts", f"{video} -t 0.5 -c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1 -muxrate 600k -muxdelay 0"),
        ("clip.wmv", f"{video} -t 0.5 -c:v wmv2"),
        ("sound.wma", f"{sound} -t 0.5 -c:a wmav2"),
    ]
    out = []
    for name, cmd in recipes:
        path = os.path.join(tmp, name)
        prefix = cmd.split()[-1] if cmd.split()[-1].endswith(":") else ""
        base = cmd[: -len(prefix)] if prefix else cmd
        if run(f"{base} {prefix}'{path}'"):
            out.append((name, open(path, "rb").read()))
    for name, args in media:
        path = os.path.join(tmp, name)
        if run(f"ffmpeg -hide_banner -loglevel error -nostdin -y {args} '{path}'"):
            out.append((name, open(path, "rb").read()))
    return out


def documents(limit=32 * 1024):
    names = sorted(n for n in os.listdir(DOCS) if n.rsplit(".", 1)[-1] in ("doc", "xls", "ppt", "docx", "xlsx", "pptx"))
    out = []
    for n in names:
        data = open(os.path.join(DOCS, n), "rb").read()
        if len(data) <= limit:
            out.append((n, data))
    return out


def archives(tmp):
    """ZIP files with data descriptors, ZIP64 fields, deflated and stored entries."""
    out = []
    src = os.path.join(tmp, "a.txt")
    with open(src, "w") as f:
        f.write("hello world\n" * 200)
    for name, cmd in [
        ("stored.zip", "zip -q -0 '{o}' a.txt"),
        ("deflated.zip", "zip -q -9 '{o}' a.txt"),
        ("descriptor.zip", "cat a.txt | zip -q '{o}' -"),
        ("zip64.zip", "zip -q -fz '{o}' a.txt"),
    ]:
        o = os.path.join(tmp, name)
        if run(f"cd '{tmp}' && " + cmd.format(o=o)):
            out.append((name, open(o, "rb").read()))
    for name, cmd in [("archive.7z", "7z a -bd -y '{o}' a.txt"), ("archive.cab", "gcab -c '{o}' a.txt")]:
        o = os.path.join(tmp, name)
        if run(f"cd '{tmp}' && " + cmd.format(o=o)):
            out.append((name, open(o, "rb").read()))
    return out


def pdfs(tmp):
    """PDFs as Ghostscript writes them (plain and linearised), one with an incremental update
    appended, one with CR LF line ends and one whose first trailer points at offset 0."""
    out = []
    base = os.path.join(tmp, "drawing.pdf")
    page = "newpath 10 10 moveto 60 60 lineto stroke /Helvetica findfont 12 scalefont setfont 10 30 moveto (seed) show showpage"
    gs = "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=pdfwrite"
    if not run(f"{gs} -sOutputFile='{base}' -c '{page}'"):
        return out
    plain = open(base, "rb").read()
    out.append(("drawing.pdf", plain))
    linear = os.path.join(tmp, "linear.pdf")
    if run(f"{gs} -dFastWebView=true -sOutputFile='{linear}' '{base}'"):
        out.append(("linearised.pdf", open(linear, "rb").read()))
    xref = plain.rfind(b"startxref")
    update = (b"\n9 0 obj\n<< /Type /Annot >>\nendobj\nxref\n9 1\n0000000000 00000 n \n"
              b"trailer\n<< /Size 10 /Prev 0 >>\nstartxref\n" + str(len(plain)).encode() + b"\n%%EOF\n")
    out.append(("updated.pdf", plain + update))
    out.append(("crlf.pdf", plain.replace(b"\n", b"\r\n")))
    if xref > 0:
        out.append(("startxref-zero.pdf", plain[:xref] + b"startxref\n0\n%%EOF\n" + plain[xref:]))
    return out


def camera_raw_and_more(tmp):
    """Files no standard tool here writes, laid out by their header fields: Fujifilm RAF (one
    and two raw blocks), Sigma X3F, CorelDRAW and CD-XA RIFF, and more TIFF layouts."""
    out = []
    for blocks in (1, 2):
        raf = bytearray(4096)
        raf[0:16] = b"FUJIFILMCCD-RAW "
        raf[16:28] = b"0201FF129502"
        struct.pack_into(">II", raf, 100, 512, 1024)
        if blocks == 2:
            struct.pack_into(">I", raf, 84, 148)
            struct.pack_into(">II", raf, 128, 2048, 2048)
        out.append((f"raw-{blocks}.raf", bytes(raf)))
    body = bytes(range(256)) * 16
    directory = b"SECd" + struct.pack("<II", 0x00020000, 2) + b"PROP" + struct.pack("<II", 8, 16) * 2
    x3f = b"FOVb" + struct.pack("<I", 0x00020001) + body
    pointer = len(x3f)
    x3f += directory
    out.append(("picture.x3f", x3f + struct.pack("<I", pointer)))

    def riff(form, chunks):
        payload = form
        for cid, data in chunks:
            payload += cid + struct.pack("<I", len(data)) + data + b"\x00" * (len(data) & 1)
        return b"RIFF" + struct.pack("<I", len(payload)) + payload

    out.append(("drawing.cdr", riff(b"CDR9", [(b"vrsn", b"\x84\x03"), (b"LIST", b"page" + b"x" * 301), (b"JUNK", b"")])))
    out.append(("track.cdxa", riff(b"CDXA", [(b"fmt ", b"\x00" * 16), (b"data", b"\x11" * 2352)])))
    out.append(("odd-chunks.wav", riff(b"WAVE", [(b"fmt ", struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8)),
                                                (b"LIST", b"INFOINAM\x03\x00\x00\x00ab\x00"), (b"data", b"\x80" * 333)])))
    for name, opts in [("tiled.tif", "-define tiff:tile-geometry=16x16"), ("strips.tif", "-define tiff:rows-per-strip=4"),
                       ("pages.tif", ""), ("big.tif", "")]:
        path = os.path.join(tmp, name)
        frames = "-seed 8 -size 24x20 plasma:fractal plasma:fractal" if name == "pages.tif" else "-seed 9 -size 24x20 plasma:fractal"
        target = ("TIFF64:" if name == "big.tif" else "") + f"'{path}'"
        if run(f"convert {frames} {opts} {target}"):
            out.append((name, open(path, "rb").read()))
    out += [("raw-le.tif", raw_tiff("<", 42)), ("raw-be.tif", raw_tiff(">", 42)),
            ("raw-panasonic.tif", raw_tiff("<", 0x55)), ("raw-olympus.tif", raw_tiff(">", 0x4F52))]
    return out


def raw_tiff(order, magic):
    """A TIFF laid out as camera raw files are: strips, tiles, free space, a JPEG preview,
    image and alpha data blocks, a maker note naming a block, SubIFDs, an EXIF directory and
    a second directory in the chain. `order` is "<" or ">"; `magic` the 16-bit word after the
    byte-order mark (42, 0x55 for Panasonic, 0x4F52 for Olympus)."""
    img = bytearray(8192)
    img[0:2] = b"II" if order == "<" else b"MM"
    struct.pack_into(order + "H", img, 2, magic)
    struct.pack_into(order + "I", img, 4, 8)

    def directory(at, entries, next_ifd=0):
        struct.pack_into(order + "H", img, at, len(entries))
        for i, (tag, typ, count, value) in enumerate(sorted(entries)):
            struct.pack_into(order + "HHII", img, at + 2 + 12 * i, tag, typ, count, value)
        struct.pack_into(order + "I", img, at + 2 + 12 * len(entries), next_ifd)

    def array(at, typ, values):
        fmt = "H" if typ == 3 else "I"
        for i, v in enumerate(values):
            struct.pack_into(order + fmt, img, at + (2 if typ == 3 else 4) * i, v)
        return at

    strips = array(1000, 4, [4000, 4200])
    counts = array(1020, 3, [200, 300])
    tiles = array(1040, 4, [4600, 4700, 4800])
    tile_counts = array(1060, 4, [100, 100, 100])
    free = array(1080, 4, [5000])
    sub = array(1100, 4, [2000, 2200])
    img[1200:1216] = b"STMN0002" + struct.pack(order + "II", 6000, 500)
    directory(8, [(256, 3, 1, 16), (273, 4, 2, strips), (279, 3, 2, counts), (288, 4, 1, free), (289, 4, 1, 100),
                  (324, 4, 3, tiles), (325, 4, 3, tile_counts), (330, 4, 2, sub), (513, 4, 1, 5200),
                  (514, 4, 1, 300), (34665, 4, 1, 2400), (37500, 7, 16, 1200), (48320, 4, 1, 6600),
                  (48321, 4, 1, 400), (48322, 4, 1, 7100), (48323, 4, 1, 90)], next_ifd=2600)
    directory(2000, [(256, 3, 1, 8), (273, 4, 1, 0xFFFFFFFF), (279, 4, 1, 0), (280, 4, 1, 7500)])
    directory(2200, [(256, 3, 1, 8), (273, 4, 1, 7600), (279, 4, 1, 64)])
    directory(2400, [(33434, 5, 1, 3000), (37500, 7, 20, 3100)])
    directory(2600, [(256, 3, 1, 4), (273, 4, 1, 7800), (279, 4, 1, 100)])
    img[3100:3108] = b"stmn0001"
    return bytes(img)


def box_variants(mp4):
    """The MP4 with its media box given a 64-bit size, and with a last box of size 0 (to the
    end of the file)."""
    out = []
    pos = 0
    while pos + 8 <= len(mp4):
        size, kind = struct.unpack(">I4s", mp4[pos:pos + 8])
        if kind == b"mdat" and size >= 8:
            large = mp4[:pos] + struct.pack(">I4sQ", 1, b"mdat", size + 8) + mp4[pos + 8:]
            out.append(("largesize.mp4", large))
            out.append(("to-the-end.mp4", mp4[:pos] + struct.pack(">I4s", 0, b"mdat") + mp4[pos + 8:pos + size]))
            break
        if size < 8:
            break
        pos += size
    return out


def corel_zip(tmp):
    """A CorelDRAW drawing: a ZIP whose first entry is the drawing's RIFF data."""
    path = os.path.join(tmp, "drawing-zip.cdr")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("content/riffData.cdr", b"RIFF\x04\x00\x00\x00CDRA" * 40)
        z.writestr("META-INF/metadata.xml", "<metadata/>")
    return [("drawing-zip.cdr", open(path, "rb").read())]


def long_media(tmp):
    """Streams longer than the carvers' 64 KiB window, so that it moves on and claims unread."""
    out = []
    video = "-f lavfi -i testsrc=size=160x120:rate=25 -t 4 -b:v 600k"
    for name, args in [("long.mp4", f"{video} -c:v mpeg4"), ("long.avi", f"{video} -c:v mpeg4"),
                       ("long.mpg", f"{video} -c:v mpeg1video -f mpeg"),
                       ("long.m2ts", f"{video} -c:v mpeg2video -f mpegts -mpegts_m2ts_mode 1")]:
        path = os.path.join(tmp, name)
        if run(f"ffmpeg -hide_banner -loglevel error -nostdin -y {args} '{path}'"):
            out.append((name, open(path, "rb").read()[: 320 * 1024]))
    return out


def add_carver_seeds():
    """Adds the seeds of the carvers that the first set left thin, keeping every seed there."""
    with tempfile.TemporaryDirectory() as tmp:
        media = pictures_and_media(tmp)
        files = pdfs(tmp) + camera_raw_and_more(tmp) + long_media(tmp) + media + corel_zip(tmp)
        files += box_variants(dict(media).get("clip.mp4", b""))

    def add(name, data):
        if not os.path.exists(os.path.join(CORPUS, "carvers", name)):
            write("carvers", name, data)

    for name, data in files:
        add(name, bytes([0, code_of(name)]) + data)
        if name.startswith("long.") or name.endswith(".pdf"):
            add("4k-" + name, bytes([1, code_of(name)]) + data)
        if name.endswith(".pdf"):
            add("c8-" + name, bytes([0x0E, code_of(name)]) + data)
        if name.endswith((".wmv", ".wma")):
            # The same files walked object by object, as when their header object is damaged.
            add("objects-" + name, bytes([0, 20]) + data)


# Seeds carved with one sector unreadable (byte 0 bit 4; bits 5-7, n, say which: 0, or 8n - 1),
# so that a carver's failing reads are met too.
UNREADABLE_SECTOR_SEEDS = [("long.mp4", 4), ("long.avi", 2), ("long.mpg", 3), ("long.m2ts", 1), ("updated.pdf", 1),
                           ("WithThreeCharts.xls", 3), ("60329.docx", 2), ("TestChineseProperties.doc", 5),
                           ("bug63290.pptx", 4), ("be.tif", 1), ("photo.jpg", 1), ("sound.wma", 1),
                           ("clip.avi", 0), ("deflated.zip", 0), ("drawing.pdf", 0)]


def unreadable_sector(n):
    return 0 if n == 0 else 8 * n - 1


def add_unreadable_sector_seeds():
    for name, n in UNREADABLE_SECTOR_SEEDS:
        path = os.path.join(CORPUS, "carvers", name)
        if os.path.exists(path):
            data = open(path, "rb").read()
            write("carvers", f"unreadable{unreadable_sector(n)}-{name}", bytes([data[0] | 0x10 | n << 5]) + data[1:])


def main():
    if sys.argv[1:] == ["--add-carver-seeds"]:
        add_carver_seeds()
        add_unreadable_sector_seeds()
        add_option_seeds()
        return
    if os.path.isdir(CORPUS):
        shutil.rmtree(CORPUS)
    with tempfile.TemporaryDirectory() as tmp:
        vols = volumes(tmp)
        files = pictures_and_media(tmp) + archives(tmp) + pdfs(tmp) + camera_raw_and_more(tmp) + long_media(tmp)
        docs = documents()
    for name, image in vols:
        write("volume_detection", name, image[:4096])
        write("classify_sector", "boot-" + name, image[:4096])
        write("hex_dump", name, image[:512])
        write("allocated_space", name, runs(image, name.startswith("ntfs")))
        if name.startswith("exfat"):
            for suffix, volume in exfat_variants(image):
                write("allocated_space", f"{name}-{suffix}", runs(volume, False))
    for name, data in files + docs:
        write("classify_sector", name, data[:4096])
        write("carvers", name, bytes([0, code_of(name)]) + data)
    # A few geometries: 4096-byte sectors, clusters of 8 sectors with damaged documents kept.
    for name, data in docs[:4] + files[:3]:
        write("carvers", "4k-" + name, bytes([1, code_of(name)]) + data)
        write("carvers", "c8-" + name, bytes([0x0E, code_of(name)]) + data)
    for name, data in docs + archives_only(files):
        if data[:4] == b"PK\x03\x04":
            write("zip_walk", name, b"\x00" + data)
            write("zip_walk", "held-" + name, b"\x04" + data)
        elif data[:4] == b"\xd0\xcf\x11\xe0":
            write("compound_file", name, data)
    add_unreadable_sector_seeds()
    add_option_seeds()
    # Whole scans: a small FAT volume holding a document and a picture, and a raw image of
    # files one after another on sector boundaries.
    fat = next((img for n, img in vols if n == "fat12"), None)
    raw = bytearray()
    for name, data in docs[:2] + files[:4]:
        raw += data + b"\x00" * (-len(data) % 512)
    write("run_scan", "files-in-a-row", bytes(raw))
    if fat is not None:
        used = len(fat.rstrip(b"\x00"))
        write("run_scan", "fat12-with-document", fat[: (used + 511) // 512 * 512])


# Seeds of the carvers fuzzer's option bytes (byte 1 bit 7, then two bytes; see the fuzzer's
# header) and whole-scan seeds of documents written between other files' clusters.
CLUSTER = 4096
CONFIRMED, EVERY_CANDIDATE = 0x01, 0x02
CLAIM_ODD, CLAIM_THIRD, CLAIM_RUN = 0x04, 0x08, 0x0C
RANGE_3_4, RANGE_1_2, RANGE_1_4 = 0x10, 0x20, 0x30
ONLY_DOC, ONLY_XLS, ONLY_PPT = 0x40, 0x80, 0xC0


def with_options(geometry, code, options, image, phase=0):
    return bytes([geometry, code | 0x80, options, phase]) + image


def junk(seed, n):
    import random
    r = random.Random(seed)
    return bytes(r.getrandbits(8) for _ in range(n))


def clusters_of(data):
    data = data + b"\x00" * (-len(data) % CLUSTER)
    return [data[i:i + CLUSTER] for i in range(0, len(data), CLUSTER)]


def cut_by_junk(data, at, junk_clusters, seed=1):
    c = clusters_of(data)
    return b"".join(c[:at]) + junk(seed, junk_clusters * CLUSTER) + b"".join(c[at:])


def round_robin(files):
    lists = [clusters_of(f) for f in files]
    out = b""
    for i in range(max(len(c) for c in lists)):
        for c in lists:
            if i < len(c):
                out += c[i]
    return out


def out_of_order(data, seed=2):
    c = clusters_of(data)
    third = max(1, len(c) // 3)
    pieces = [c[:third], c[third:2 * third], c[2 * third:]]
    return b"".join(pieces[0]) + junk(seed, CLUSTER) + b"".join(pieces[2]) + junk(seed + 1, CLUSTER) + b"".join(pieces[1])


def aligned_zip(entries, end=True, central=True, break_at=None):
    """A ZIP of stored entries laid out so that every local header begins a 512-byte sector
    (each is a candidate of its own). break_at: the entry whose CRC-32 is wrong."""
    import zlib
    out, cdir = b"", b""
    for i, (name, fill) in enumerate(entries):
        name = name.encode()
        size = 512 * fill - 30 - len(name)
        data = bytes((i * 7 + j) & 0xFF for j in range(size))
        crc = zlib.crc32(data) ^ (1 if i == break_at else 0)
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0, crc, size, size, len(name), 0) + name + data
        cdir += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 0, 0, 0, crc, size, size, len(name), 0, 0, 0, 0,
                            0, offset) + name
    if central:
        out += cdir
    if end:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(entries), len(entries), len(cdir), len(out) - len(cdir), 0)
    return out


def compound(streams, sector_bytes=512):
    """A compound file of streams of 4096 bytes or more, each in its own sector chain: FAT in
    sector 0, directory from sector 1, then the streams. streams: (name, bytes)."""
    shift = 9 if sector_bytes == 512 else 12
    per_sector = sector_bytes // 128
    dir_sectors = (len(streams) + 1 + per_sector - 1) // per_sector
    fat, body, starts, next_sector = {0: 0xFFFFFFFD}, b"", [], 1 + dir_sectors
    for i in range(dir_sectors):
        fat[1 + i] = 2 + i if i + 1 < dir_sectors else 0xFFFFFFFE
    for name, data in streams:
        data = data + b"\x00" * (-len(data) % sector_bytes)
        n = len(data) // sector_bytes
        starts.append(next_sector if n else 0xFFFFFFFE)
        for k in range(n):
            fat[next_sector + k] = next_sector + k + 1 if k + 1 < n else 0xFFFFFFFE
        next_sector += n
        body += data

    def entry(name, kind, child, right, start, size):
        raw = name.encode("utf-16-le") + b"\x00\x00"
        return (raw.ljust(64, b"\x00") + struct.pack("<HBBIII", len(raw), kind, 1, 0xFFFFFFFF, right, child) +
                b"\x00" * 36 + struct.pack("<IQ", start, size))

    entries = [entry("Root Entry", 5, 1 if streams else 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFE, 0)]
    for i, (name, data) in enumerate(streams):
        entries.append(entry(name, 2, 0xFFFFFFFF, i + 2 if i + 1 < len(streams) else 0xFFFFFFFF, starts[i], len(data)))
    directory = b"".join(entries).ljust(dir_sectors * sector_bytes, b"\x00")
    fat_sector = b"".join(struct.pack("<I", fat.get(i, 0xFFFFFFFF)) for i in range(sector_bytes // 4))
    header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\x00" * 16 +
              struct.pack("<HHHHHH", 0x3E, 3 if sector_bytes == 512 else 4, 0xFFFE, shift, 6, 0) + b"\x00" * 4 +
              struct.pack("<IIIIIIIII", 0, 1, 1, 0, 4096, 0xFFFFFFFE, 0, 0xFFFFFFFE, 0) +
              struct.pack("<I", 0) + b"\xFF" * (436 - 4))
    header = header.ljust(sector_bytes, b"\x00")
    return header + fat_sector + directory + body


def compound_variants():
    """Compound files that decide their type from their stream names: encrypted packages,
    each application, one without an application stream, one whose stream is empty."""
    page = b"\x5A" * 4096
    return [
        ("encrypted-package", compound([("EncryptionInfo", page), ("Version", page), ("EncryptedPackage", page)])),
        ("encrypted-word", compound([("EncryptionInfo", page), ("Version", page), ("WordDocument", page)])),
        ("encrypted-4k", compound([("EncryptionInfo", page), ("Version", page), ("EncryptedPackage", page)], 4096)),
        ("powerpoint", compound([("PowerPoint Document", page), ("Current User", page)])),
        ("workbook", compound([("Workbook", page)])),
        ("no-application-stream", compound([("Contents", page), ("Data", page)])),
        ("empty-word-stream", compound([("WordDocument", b""), ("1Table", page)])),
    ]


def walks_to_the_end():
    """Stream files whose last unit ends exactly at the end of the image (a sector boundary),
    and units the walks refuse: (name, code, file)."""
    def chunk(cid, body):
        return cid + struct.pack("<I", len(body)) + body

    def riff(form, body):
        return b"RIFF" + struct.pack("<I", 4 + len(body)) + form + body

    fmt = chunk(b"fmt ", struct.pack("<HHIIHH", 1, 1, 8000, 8000, 1, 8))
    out = [("riff-at-end.wav", 10, riff(b"WAVE", fmt + chunk(b"data", b"\x80" * (1024 - 12 - len(fmt) - 8)))),
           # A writer that does not pad: an odd chunk, the next right after it, ending the image.
           ("riff-odd-at-end.wav", 10, riff(b"WAVE", chunk(b"fmt ", b"\x01" * 17) + chunk(b"data", b"\x80" * (1024 - 12 - 25 - 8)))),
           ("riff-extension.avi", 7, riff(b"AVI ", chunk(b"LIST", b"hdrl" + b"\x00" * 52)) + riff(b"AVIX", chunk(b"JUNK", b"\x00" * 100)))]

    def box(kind, body):
        return struct.pack(">I", 8 + len(body)) + kind + body

    ftyp = box(b"ftyp", b"isom\x00\x00\x02\x00isomiso2mp41")
    out += [("iso-at-end.mp4", 19, ftyp + box(b"free", b"") + box(b"mdat", b"\x00" * (1024 - len(ftyp) - 16))),
            ("iso-large-at-end.mp4", 19, ftyp + box(b"mdat", b"\x00" * (512 - len(ftyp) - 16)) + struct.pack(">I4s", 1, b"mdat")),
            ("iso-huge.mp4", 19, ftyp + struct.pack(">I4sQ", 1, b"mdat", 1 << 63) + b"\x00" * 64),
            ("iso-large.mp4", 19, ftyp + struct.pack(">I4sQ", 1, b"mdat", 16 + 600) + b"\x00" * 600 + box(b"moov", b"\x00" * 40))]

    header = bytes.fromhex("3026B2758E66CF11A6D900AA0062CE6C")
    family = bytes.fromhex("26B2758E66CF11A6D900AA0062CE6C")
    simple_index = bytes.fromhex("90080033B1E5CF1189F400A0C90349CB")
    index = bytes.fromhex("D329E2D6DA35D1119034" "00A0C90349BE")

    def obj(guid, size):
        return guid + struct.pack("<Q", size) + b"\x00" * (size - 24)

    head = obj(header, 30) + obj(b"\x33" + family, 50)
    data = obj(b"\x36" + family, 1024 - len(head))
    out += [("asf-at-end.wmv", 20, head + data),
            ("asf-indexes.wmv", 20, head + obj(b"\x36" + family, 200) + obj(simple_index, 60) + obj(index, 80) +
             index + struct.pack("<Q", 1 << 40)),
            ("asf-index-past-end.wmv", 20, head + obj(b"\x36" + family, 200) + simple_index + struct.pack("<Q", 4096)),
            ("asf-other-family.wmv", 20, obj(header, 30) + obj(bytes.fromhex("A4D0D207E3D21197F000A0C95EA850")[:1] * 0 +
                                                             b"\x01" + bytes.fromhex("A4D0D207E3D21197F000A0C95EA850"), 40) +
             obj(b"\x36" + family, 100))]
    return out


def rar_archives():
    """RAR 4 archives built block by block: whole with an end block, one whose added-size
    field lies past the image, one whose chain runs to the image's end, one whose packed data
    lies over claimed clusters: (name, carvers input)."""
    marker = b"Rar!\x1a\x07\x00"

    def block(kind, flags, size, added=None, body=b""):
        return struct.pack("<HBHH", 0, kind, flags, size) + (b"" if added is None else struct.pack("<I", added)) + body

    name = b"report.doc"
    archive_header = block(0x73, 0, 13, body=b"\x00" * 6)

    def archive(packed):
        return (marker + archive_header + block(0x74, 0x8000, 32 + len(name), len(packed), b"\x00" * 21 + name) +
                packed + block(0x7B, 0, 7))

    packed = junk(7, 1500)
    return [
        ("whole.rar", bytes([0, 15]) + archive(packed)),
        ("4k-whole.rar", bytes([1, 15]) + archive(packed)),
        ("added-size-past-end.rar", bytes([0, 15]) + marker + block(0x73, 0, 498, body=b"\x00" * 491) +
         struct.pack("<HBHH", 0, 0x74, 0x8000, 40)),
        ("no-end-block.rar", bytes([0, 15]) + marker + block(0x73, 0, 505, body=b"\x00" * 498)),
        ("over-claimed.rar", with_options(0, 15, CLAIM_ODD, archive(junk(8, 3000)))),
    ]


def add_option_seeds():
    docs = dict(documents(64 * 1024))
    xlsx, docx, pptx = docs.get("54764.xlsx"), docs.get("60329.docx"), docs.get("bug63290.pptx")
    c8 = 0x06  # 512-byte sectors, 8 per cluster: 4 KiB clusters
    seeds = []
    if xlsx and docx:
        seeds += [
            ("frag-cut-xlsx", with_options(c8, 21, CONFIRMED, cut_by_junk(xlsx, 1, 2))),
            ("frag-cut-docx", with_options(c8, 21, CONFIRMED | EVERY_CANDIDATE, cut_by_junk(docx, 3, 5))),
            ("frag-cut-docx-4k", with_options(0x01, 21, CONFIRMED, cut_by_junk(docx, 2, 1))),
            ("frag-round-robin", with_options(c8, 21, CONFIRMED | EVERY_CANDIDATE, round_robin([docx, xlsx]))),
            ("frag-round-robin-claimed", with_options(c8, 21, CLAIM_ODD, round_robin([docx, junk(3, len(docx))]))),
            ("frag-out-of-order", with_options(c8, 21, CONFIRMED, out_of_order(docx))),
            ("frag-zip-code", with_options(c8, 16, CONFIRMED, cut_by_junk(xlsx, 1, 1))),
            ("whole-only-xls", with_options(c8, 21, CONFIRMED | ONLY_XLS, docx)),
            ("whole-range-end", with_options(c8, 21, CONFIRMED | RANGE_1_2, docx)),
        ]
    if pptx:
        seeds.append(("frag-pptx-phase", with_options(c8, 21, CONFIRMED | CLAIM_THIRD, cut_by_junk(pptx, 2, 3), phase=3)))
    entries = [("a.txt", 2), ("b.txt", 3), ("c.txt", 1), ("d.txt", 2)]
    ooxml = [("[Content_Types].xml", 1), ("word/document.xml", 2), ("docProps/core.xml", 1)]
    seeds += [
        ("aligned-zip", with_options(0, 16, EVERY_CANDIDATE, aligned_zip(entries))),
        ("aligned-zip-bad-crc", with_options(0, 16, EVERY_CANDIDATE, aligned_zip(entries, break_at=3))),
        ("aligned-zip-no-end", with_options(0, 16, EVERY_CANDIDATE, aligned_zip(entries, end=False))),
        ("aligned-zip-no-central", with_options(0, 16, EVERY_CANDIDATE | CONFIRMED, aligned_zip(entries, central=False, end=False))),
        ("aligned-package", with_options(0, 21, EVERY_CANDIDATE | CONFIRMED, aligned_zip(ooxml))),
        ("aligned-package-bad-crc", with_options(0, 21, EVERY_CANDIDATE | CONFIRMED, aligned_zip(ooxml, break_at=1))),
        ("aligned-zip-claimed", with_options(0, 16, CLAIM_THIRD, aligned_zip(entries))),
    ]
    for name, data in compound_variants():
        seeds.append((name + ".ole", bytes([0, 5]) + data))
        seeds.append((name + "-kept.ole", bytes([0x08, 5]) + data))
    for family, flag in [("doc", ONLY_DOC), ("xls", ONLY_XLS), ("ppt", ONLY_PPT)]:
        for name in ("TestChineseProperties.doc", "46445.xls", "42474-1.ppt"):
            if name in docs:
                seeds.append((f"only-{family}-{name}", with_options(0, 5, flag, docs[name])))
    for name, code, data in walks_to_the_end():
        seeds.append((name, bytes([0, code]) + data))
        seeds.append(("4k-" + name, bytes([1, code]) + data))
    seeds += rar_archives()
    for name, data in seeds:
        write("carvers", name, data)
    for name, data in [(n, d[4:]) for n, d in seeds if n.startswith("frag-")]:
        write("run_scan", name, data)
    # Media walks cut by claimed clusters, ended early by the scan range, at a cluster phase.
    for name, code, options, geometry, phase in [
            ("long.mp4", 19, CLAIM_ODD, 0x02, 0), ("long.avi", 7, CLAIM_THIRD, 0x02, 0), ("long.mpg", 31, CLAIM_RUN, 0x04, 1),
            ("clip.mp4", 19, RANGE_1_2, 0, 0), ("clip.avi", 7, RANGE_1_2, 0, 0), ("sound.wma", 20, CLAIM_ODD, 0x02, 0),
            ("clip.wmv", 20, RANGE_1_2 | CLAIM_RUN, 0x04, 1), ("sound.wav", 10, CLAIM_ODD, 0x02, 1)]:
        path = os.path.join(CORPUS, "carvers", name)
        if os.path.exists(path):
            data = open(path, "rb").read()[2:128 * 1024]
            write("carvers", "options-" + name, with_options(geometry, code, options, data, phase))


# The type code the carvers fuzzer is given for a seed (byte 1), by extension: the code the
# classifier gives such a file at its start (a file it reads otherwise still reaches its carver).
TYPE_CODES = {
    "jpg": 1, "bmp": 4, "doc": 5, "xls": 5, "ppt": 5, "avi": 7, "png": 9, "wav": 10, "wmv": 13, "wma": 13,
    "tif": 14, "zip": 16, "cab": 17, "7z": 18, "mp4": 19, "docx": 21, "xlsx": 21, "pptx": 21, "pdf": 22,
    "3gp": 23, "mov": 24, "mpg": 31, "m2ts": 33, "x3f": 25, "raf": 26, "cdr": 27, "cdxa": 12,
}


def code_of(name):
    if name.endswith("-zip.cdr"):
        return 28
    return TYPE_CODES.get(name.rsplit(".", 1)[-1], 0)


def archives_only(files):
    return [(n, d) for n, d in files if n.endswith(".zip")]


if __name__ == "__main__":
    main()
