#!/usr/bin/python3
"""Makes audio files that are valid but unusual, the kind that catches a tag writer out.

Usage: make_hostile_audio.py FOLDER KIND...   (prints nothing; exit 0 when all were made)

Each kind becomes FOLDER/<kind>.<ext>. The ID3v2 tags are built byte by byte here, so that
their layout does not depend on what any tag library writes.
"""
import os
import struct
import subprocess
import sys

TEXT = " 000001F5 000001F5 000004E5 000004E5 00001234 00005678 00007FFF 00007FFF 0000ABCD 0000DCBA"


def sine(path, fmt_options, seconds=3):
    subprocess.run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                    "sine=frequency=440:duration=%d" % seconds, "-ac", "2"] + fmt_options +
                   [path], check=True)
    with open(path, "rb") as f:
        return f.read()


def untagged_mp3(folder):
    return sine(os.path.join(folder, ".raw.mp3"),
                ["-c:a", "libmp3lame", "-b:a", "96k", "-id3v2_version", "0",
                 "-write_xing", "0"])


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def frame(version, fid, body, flags=0, unsync=False):
    if unsync:
        body = unsynchronise(body)
        flags |= 0x0002
    size = syncsafe(len(body)) if version == 4 else struct.pack(">I", len(body))
    return fid.encode() + size + struct.pack(">H", flags) + body


def text_frame(version, fid, text, unsync=False):
    return frame(version, fid, b"\x00" + text.encode("latin-1"), unsync=unsync)


def comm(version, desc, text, encoding=0, unsync=False):
    if encoding == 0:
        body = b"\x00eng" + desc.encode("latin-1") + b"\x00" + text.encode("latin-1")
    else:
        body = (b"\x01eng" + b"\xff\xfe" + desc.encode("utf-16-le") + b"\x00\x00" + b"\xff\xfe" +
                text.encode("utf-16-le"))
    return frame(version, "COMM", body, unsync=unsync)


def txxx(version, desc, text):
    return frame(version, "TXXX", b"\x00" + desc.encode("latin-1") + b"\x00" +
                 text.encode("latin-1"))


def unsynchronise(data):
    out = bytearray()
    for i, b in enumerate(data):
        out.append(b)
        if b == 0xFF and (i + 1 == len(data) or data[i + 1] == 0 or data[i + 1] >= 0xE0):
            out.append(0)
    return bytes(out)


def id3_tag(version, frames, padding=64, extended=False, unsync=False):
    body = b"".join(frames) + b"\x00" * padding
    flags = 0
    ext = b""
    if extended:
        flags |= 0x40
        if version == 3:
            # Size 6 (not counting itself), no flags, the padding size.
            ext = struct.pack(">IHI", 6, 0, padding)
        else:
            ext = syncsafe(6) + b"\x01\x00"
    data = ext + body
    if unsync:
        flags |= 0x80
        if version == 3:
            data = unsynchronise(data)
    return b"ID3" + bytes([version, 0, flags]) + syncsafe(len(data)) + data


def plain_frames(version, unsync=False):
    # Version 2.4 unsynchronises frame by frame, 2.3 the whole tag.
    u = unsync and version == 4
    return [text_frame(version, "TIT2", "Hostile Title", u),
            text_frame(version, "TPE1", "Hostile Artist", u),
            comm(version, "", "my comment", unsync=u),
            frame(version, "PRIV", b"com.example.private\x00" + bytes(range(256)), unsync=u)]


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def make(folder, kind):
    audio = untagged_mp3(folder)
    if kind.startswith("ext"):
        # ext23, ext23u, ext24, ext24u: an extended header, with or without unsynchronisation;
        # "-norm" adds our text in its COMM frame.
        version = 4 if "24" in kind else 3
        unsync = kind.split("-")[0].endswith("u")
        frames = plain_frames(version, unsync)
        if kind.endswith("-norm"):
            frames.append(comm(version, "iTunNORM", TEXT + "\x00", unsync=unsync and version == 4))
        tag = id3_tag(version, frames, extended=True, unsync=unsync)
        write(os.path.join(folder, kind + ".mp3"), tag + audio)
    elif kind == "txxx":
        frames = plain_frames(3) + [txxx(3, "iTunNORM", TEXT)]
        write(os.path.join(folder, kind + ".mp3"), id3_tag(3, frames) + audio)
    elif kind == "txxx-and-comm":
        frames = plain_frames(3) + [txxx(3, "iTunNORM", TEXT), comm(3, "iTunNORM", TEXT + "\x00")]
        write(os.path.join(folder, kind + ".mp3"), id3_tag(3, frames) + audio)
    elif kind == "in-audio":
        # The signature and a valid text in the middle of the MPEG frames.
        frames = plain_frames(3)
        middle = len(audio) // 2
        planted = audio[:middle] + b"iTunNORM\x00" + TEXT.encode() + b"\x00" + audio[middle + 100:]
        write(os.path.join(folder, kind + ".mp3"), id3_tag(3, frames) + planted)
    elif kind == "in-picture":
        picture = b"\x89PNG\r\n\x1a\n" + b"\x11" * 200 + b"iTunNORM\x00" + TEXT.encode() + \
            b"\x00" + b"\x22" * 200
        apic = frame(3, "APIC", b"\x00image/png\x00\x03\x00" + picture)
        write(os.path.join(folder, kind + ".mp3"), id3_tag(3, plain_frames(3) + [apic]) + audio)
    elif kind == "drop-frame":
        # A frame that asks to be dropped when the tag is altered: a tag library that honours
        # that flag would lose it on saving.
        frames = plain_frames(3) + [frame(3, "XYZW", b"keep me", flags=0x8000)]
        write(os.path.join(folder, kind + ".mp3"), id3_tag(3, frames) + audio)
    elif kind == "nested.m4a":
        path = os.path.join(folder, kind)
        sine(path, ["-c:a", "aac", "-b:a", "64k"])
        depth = 100000
        # Outermost first: level i holds every level below it.
        nest = b"".join(struct.pack(">I", 8 * (depth - i)) + b"moov" for i in range(depth))
        with open(path, "ab") as f:
            f.write(nest)
    elif kind == "in-mdat.m4a":
        path = os.path.join(folder, kind)
        data = bytearray(sine(path, ["-c:a", "aac", "-b:a", "64k"]))
        at = data.find(b"mdat")
        plant = b"iTunNORM\x00\x00\x00\x6Adata\x00\x00\x00\x01\x00\x00\x00\x00" + TEXT.encode()
        middle = at + 4 + (len(data) - at) // 3
        data[middle:middle + len(plant)] = plant
        write(path, bytes(data))
    elif kind == "untagged":
        write(os.path.join(folder, kind + ".mp3"), audio)
    elif kind == "id3v1":
        v1 = b"TAG" + b"Only ID3v1".ljust(30, b"\0") + b"Band".ljust(30, b"\0") + \
            b"".ljust(30, b"\0") + b"1999" + b"".ljust(30, b"\0") + b"\x11"
        write(os.path.join(folder, kind + ".mp3"), audio + v1)
    elif kind == "v22":
        # Version 2.2: three-letter frame ids, three-byte sizes.
        def f22(fid, body):
            return fid.encode() + struct.pack(">I", len(body))[1:] + body
        frames = (f22("TT2", b"\x00Old Title") + f22("TP1", b"\x00Old Band") +
                  f22("COM", b"\x00eng\x00old comment"))
        tag = b"ID3\x02\x00\x00" + syncsafe(len(frames) + 256) + frames + b"\x00" * 256
        write(os.path.join(folder, kind + ".mp3"), tag + audio)
    elif kind in ("v23", "v24"):
        version = 3 if kind == "v23" else 4
        write(os.path.join(folder, kind + ".mp3"), id3_tag(version, plain_frames(version)) + audio)
    elif kind == "plain.aiff":
        sine(os.path.join(folder, kind), [])
    elif kind == "tagged.aiff":
        sine(os.path.join(folder, kind), ["-write_id3v2", "1", "-metadata", "title=Tagged"])
    elif kind == "bare.m4a":
        sine(os.path.join(folder, kind), ["-c:a", "aac", "-b:a", "64k", "-map_metadata", "-1",
                                          "-fflags", "+bitexact", "-flags:a", "+bitexact"])
    else:
        raise SystemExit("unknown kind: " + kind)
    try:
        os.unlink(os.path.join(folder, ".raw.mp3"))
    except FileNotFoundError:
        pass


def main():
    folder = sys.argv[1]
    for kind in sys.argv[2:]:
        make(folder, kind)


if __name__ == "__main__":
    main()
