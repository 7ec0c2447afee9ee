#!/usr/bin/python3
"""kill -9 'sonorix-cli adjust all' at random moments on a small generated library.

After each kill no file may be damaged (the decoded audio and every tag other than ours are as
before); the next run must leave no temporary file behind and complete every track with its
Sound Check text and comment stamp. Prints where each kill landed.

Usage: kill-adjust.py SONORIX_CLI [KILLS] [SEED]
"""

import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import mutagen
import mutagen.id3

CLI = sys.argv[1]
KILLS = int(sys.argv[2]) if len(sys.argv) > 2 else 10
SEED = int(sys.argv[3]) if len(sys.argv) > 3 else int(time.time())
STAMP = "Adjusted by Sonorix "
OUR_KEYS = ("COMM:iTunNORM:", "----:com.apple.iTunes:iTunNORM")
TEMP_NAME = re.compile(r"^\..*sonorix-[A-Za-z0-9]{6}(\.tmp)?$")

# name, lavfi source, ffmpeg options: two of each kind, tagged as other programs tag them.
FILES = [
    ("a.mp3", "sine=f=440:d=2", ["-c:a", "libmp3lame", "-id3v2_version", "3"]),
    ("b.mp3", "anoisesrc=color=pink:d=1.5", ["-c:a", "libmp3lame"]),
    ("c.m4a", "sine=f=660:d=2", ["-c:a", "aac"]),
    ("d.m4a", "sine=f=220:d=1", ["-c:a", "alac"]),
    ("e.aiff", "sine=f=330:d=1.5", ["-write_id3v2", "1"]),
    ("f.aiff", "anoisesrc=color=brown:d=1", ["-write_id3v2", "1", "-id3v2_version", "3"]),
]


def run(argv, **kw):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kw)


def decoded_md5(path):
    r = run(["ffmpeg", "-v", "error", "-i", path, "-map", "0:a", "-f", "md5", "-"])
    return r.stdout.strip()


def other_tags(path):
    """Every tag but ours, as text; the comment without our stamp."""
    f = mutagen.File(path)
    tags = {}
    for key, value in (f.tags.items() if f and f.tags else []):
        if key.startswith(OUR_KEYS):
            continue
        text = repr(value)
        if key.startswith("COMM:") or key == "\xa9cmt":
            text = re.sub(r"Adjusted by Sonorix [0-9/: ]+\\r\\n", "", text)
        tags[key] = text
    return tags


def add_comment(path):
    """A comment such as a user's player writes, which the stamp must keep."""
    f = mutagen.File(path)
    if isinstance(f.tags, mutagen.id3.ID3):
        f.tags.add(mutagen.id3.COMM(encoding=3, lang="eng", desc="", text="Note on the file"))
    else:
        f.tags["\xa9cmt"] = ["Note on the file"]
    f.save()


def our_tags(path):
    """(has a Sound Check text, has the comment stamp)."""
    f = mutagen.File(path)
    tags = f.tags if f and f.tags else {}
    value = any(k.startswith(OUR_KEYS) for k in tags.keys())
    comment = ""
    for key in tags.keys():
        if key.startswith("COMM:") and not key.startswith("COMM:iTunNORM"):
            comment = str(tags[key].text[0])
        elif key == "\xa9cmt":
            comment = str(tags[key][0])
    return value, comment.startswith(STAMP)


def temp_files(folder):
    return sorted(n for n in os.listdir(folder) if TEMP_NAME.match(n))


def library_xml(folder):
    entries = []
    for i, (name, _, _) in enumerate(FILES):
        entries.append(
            "<key>%d</key><dict><key>Track ID</key><integer>%d</integer>"
            "<key>Persistent ID</key><string>%016X</string><key>Name</key><string>%s</string>"
            "<key>Artist</key><string>Band</string><key>Album</key><string>Album %s</string>"
            "<key>Total Time</key><integer>2000</integer><key>Track Type</key><string>File</string>"
            "<key>Location</key><string>file://localhost%s/%s</string></dict>"
            % (100 + i, 100 + i, 0x40 + i, name, name, folder, name))
    return ('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
            "<key>Application Version</key><string>12.9.5.5</string>"
            "<key>Library Persistent ID</key><string>00A1B2C3D4E5F607</string>"
            "<key>Tracks</key><dict>%s</dict></dict></plist>\n" % "".join(entries))


def main():
    random.seed(SEED)
    work = tempfile.mkdtemp(prefix="sonorix-kill-")
    try:
        pristine = os.path.join(work, "pristine")
        music = os.path.join(work, "music")
        os.mkdir(pristine)
        for name, source, options in FILES:
            path = os.path.join(pristine, name)
            r = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source,
                     "-ac", "2", "-metadata", "title=Title " + name, "-metadata", "artist=Band"]
                    + options + [path])
            if r.returncode != 0:
                print("ffmpeg failed:", r.stderr)
                return 1
            add_comment(path)
        audio = {n: decoded_md5(os.path.join(pristine, n)) for n, _, _ in FILES}
        tags = {n: other_tags(os.path.join(pristine, n)) for n, _, _ in FILES}
        library = os.path.join(work, "lib.xml")
        with open(library, "w") as f:
            f.write(library_xml(music))
        env = dict(os.environ, XDG_DATA_HOME=os.path.join(work, "xdg"))

        def reset():
            shutil.rmtree(music, ignore_errors=True)
            shutil.copytree(pristine, music)
            shutil.rmtree(os.path.join(work, "data"), ignore_errors=True)

        def adjust():
            return [CLI, "--data-dir", os.path.join(work, "data"), "--library", library,
                    "adjust", "all"]

        # One whole run gives the span in which kills land.
        reset()
        start = time.monotonic()
        r = run(adjust(), env=env)
        span = time.monotonic() - start
        if r.returncode != 0:
            print("an uninterrupted run failed:", r.stderr)
            return 1

        failures = []
        landed = {"before any file changed": 0, "during a save (temporary copy present)": 0,
                  "between a value and its stamp": 0, "after every file was done": 0}
        print("seed %d, %d files, a whole run takes %.2f s" % (SEED, len(FILES), span))
        for kill in range(1, KILLS + 1):
            # A kill after the run ended tests nothing: it is tried again, earlier.
            at = random.uniform(0.3 * span, span)  # past start-up: where files change
            for _ in range(8):
                reset()
                process = subprocess.Popen(adjust(), env=env, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
                time.sleep(at)
                ended_before = process.poll() is not None
                process.send_signal(signal.SIGKILL)
                process.wait()
                if not ended_before:
                    break
                at *= 0.8

            values = stamps = 0
            for name, _, _ in FILES:
                path = os.path.join(music, name)
                if decoded_md5(path) != audio[name]:
                    failures.append("kill %d: the audio of %s changed" % (kill, name))
                if other_tags(path) != tags[name]:
                    failures.append("kill %d: other tags of %s changed: %s -> %s"
                                    % (kill, name, tags[name], other_tags(path)))
                value, stamp = our_tags(path)
                values += value
                stamps += stamp
            left = temp_files(music)
            if left:
                landed["during a save (temporary copy present)"] += 1
            if values > stamps:
                landed["between a value and its stamp"] += 1
            if values == 0 and not left:
                landed["before any file changed"] += 1
            if stamps == len(FILES):
                landed["after every file was done"] += 1

            r = run(adjust(), env=env)
            after = temp_files(music)
            complete = all(our_tags(os.path.join(music, n)) == (True, True) for n, _, _ in FILES)
            intact = all(decoded_md5(os.path.join(music, n)) == audio[n] and
                         other_tags(os.path.join(music, n)) == tags[n] for n, _, _ in FILES)
            print("kill %2d at %.2f s%s: %d/%d values, %d/%d stamps, %d temporary files; "
                  "next run: status %d, %s, %d temporary files"
                  % (kill, at, " (run had ended)" if ended_before else "", values, len(FILES),
                     stamps, len(FILES), len(left), r.returncode,
                     "complete" if complete else "INCOMPLETE", len(after)))
            if r.returncode != 0:
                failures.append("kill %d: the next run failed: %s" % (kill, r.stderr[-500:]))
            if after:
                failures.append("kill %d: temporary files survived the next run: %s"
                                % (kill, after))
            if not complete:
                failures.append("kill %d: the next run left tracks without value or stamp"
                                % kill)
            if not intact:
                failures.append("kill %d: the next run damaged a file" % kill)
        print("kills landed: " + ", ".join("%d %s" % (n, what) for what, n in landed.items()))
        for failure in failures:
            print("FAILED:", failure)
        return 1 if failures else 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
