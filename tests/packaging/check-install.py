#!/usr/bin/python3
"""Checks what `cmake --install` and `cpack -G DEB` make of a build.

Usage: check-install.py CHECK BUILD_DIR WORK_DIR VERSION

CHECK is one of: install (installs into WORK_DIR/root, which the other checks read), programs,
desktop, metainfo, man, completion, deb. Everything runs from WORK_DIR, outside the source and
build trees, with a data folder of its own.
"""

import glob
import gzip
import os
import plistlib
import re
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

APP_ID = "invalid.sonorix.Sonorix"
PREFIX = "/usr"
LANGUAGES = ["de", "fr", "nl", "ja", "zh_CN"]
EXIT_STATUSES = ["0", "1", "2", "3", "4", "130"]

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print(f"FAIL: {message}", file=sys.stderr)
    return condition


def run(args, **kwargs):
    kwargs.setdefault("capture_output", True)
    kwargs.setdefault("text", True)
    kwargs.setdefault("timeout", 300)
    return subprocess.run(args, **kwargs)


class Checks:
    def __init__(self, build, work, version):
        self.build = os.path.abspath(build)
        self.work = os.path.abspath(work)
        self.version = version
        self.root = os.path.join(self.work, "root")
        self.data = os.path.join(self.work, "data")
        self.env = dict(os.environ, XDG_DATA_HOME=self.data, LANGUAGE="", LC_ALL="C.UTF-8",
                        LANG="C.UTF-8", QT_QPA_PLATFORM="offscreen")
        self.env.pop("LC_MESSAGES", None)

    def installed(self, relative):
        return os.path.join(self.root, PREFIX.lstrip("/"), relative)

    def cli(self, *args, **kwargs):
        return run([self.installed("bin/sonorix-cli"), *args], env=self.env, cwd=self.work,
                   **kwargs)

    def window_built(self):
        return os.path.exists(os.path.join(self.build, "sonorix"))

    # -- install -----------------------------------------------------------------------------

    def install(self):
        shutil.rmtree(self.root, ignore_errors=True)
        os.makedirs(self.work, exist_ok=True)
        done = run(["cmake", "--install", self.build, "--prefix", PREFIX],
                   env=dict(self.env, DESTDIR=self.root), cwd=self.work)
        check(done.returncode == 0, f"cmake --install failed:\n{done.stdout}{done.stderr}")
        expected = [
            "bin/sonorix-cli",
            f"share/applications/{APP_ID}.desktop",
            f"share/metainfo/{APP_ID}.metainfo.xml",
            f"share/icons/hicolor/scalable/apps/{APP_ID}.svg",
            "share/man/man1/sonorix-cli.1.gz",
            "share/bash-completion/completions/sonorix-cli",
            "share/doc/sonorix/copyright",
        ]
        if self.window_built():
            expected += ["bin/sonorix", "share/man/man1/sonorix.1.gz"]
        # Every size drawn, under the application's id.
        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        for drawn in glob.glob(os.path.join(source, "resources/icons/hicolor/*x*/apps/*.png")):
            size = drawn.split(os.sep)[-3]
            expected.append(f"share/icons/hicolor/{size}/apps/{APP_ID}.png")
        for path in expected:
            check(os.path.isfile(self.installed(path)), f"not installed: {path}")
        for path in ["bin/sonorix-cli", "bin/sonorix"]:
            if os.path.exists(self.installed(path)):
                check(os.access(self.installed(path), os.X_OK), f"{path} is not executable")

    # -- programs ----------------------------------------------------------------------------

    def programs(self):
        for program in ["sonorix-cli", "sonorix"]:
            path = self.installed("bin/" + program)
            if os.path.exists(path):
                dynamic = run(["readelf", "-d", path]).stdout
                check("RPATH" not in dynamic and "RUNPATH" not in dynamic,
                      f"{program} keeps a library search path: {dynamic}")

        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        version = self.cli("--version")
        check(version.returncode == 0, f"--version exited with {version.returncode}")
        check(re.fullmatch(r"sonorix-cli (\S+)\n", version.stdout) is not None,
              f"--version printed {version.stdout!r}")
        check(version.stdout.split()[-1].startswith(self.version.split("-")[0]),
              f"--version {version.stdout!r} is not of version {self.version}")
        git = run(["git", "-C", source, "rev-parse", "HEAD"])
        if git.returncode == 0 and not run(["git", "-C", source, "tag", "--points-at",
                                            "HEAD"]).stdout.strip():
            check(git.stdout.strip()[:7] in version.stdout,
                  f"--version {version.stdout!r} does not name commit {git.stdout.strip()}")

        # The installed program must need nothing from the trees it was built from: it runs in a
        # folder outside them, where they are hidden under empty folders (in a private mount
        # namespace, where the system allows one).
        with tempfile.TemporaryDirectory() as outside:
            program = os.path.join(outside, "bin", "sonorix-cli")
            os.makedirs(os.path.dirname(program))
            shutil.copy2(self.installed("bin/sonorix-cli"), program)
            song = os.path.join(outside, "song.mp3")
            made = run(["ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=1", "-c:a", "libmp3lame", song])
            if not check(made.returncode == 0, f"ffmpeg failed: {made.stderr}"):
                return
            steps = (f"cd {outside!r} && {program!r} --language de --help && echo @ && "
                     f"{program!r} tag --set -3.5 song.mp3 && echo @ && "
                     f"{program!r} tag --format tsv song.mp3")
            hide = " && ".join(f"mount -t tmpfs none {tree!r}" for tree in [self.build, source])
            env = dict(self.env, XDG_DATA_HOME=os.path.join(outside, "data"))
            done = run(["unshare", "--user", "--map-root-user", "--mount", "sh", "-c",
                        f"{hide} && {steps}"], env=env)
            if done.returncode != 0 and "unshare" in done.stderr:
                print(f"run without hiding the trees: {done.stderr.strip()}")
                done = run(["sh", "-c", steps], env=env)
        parts = done.stdout.split("@\n")
        if not check(done.returncode == 0 and len(parts) == 3,
                     f"the installed program outside the trees: {done.stdout}{done.stderr}"):
            return
        check("Befehle:" in parts[0], f"no German help from the embedded resources: {parts[0]}")
        rows = [line.split("\t") for line in parts[2].splitlines()]
        check(len(rows) == 2 and rows[1][2] == "-3.50",
              f"tag after --set -3.5 shows {parts[2]!r}")

    # -- desktop entry -----------------------------------------------------------------------

    def desktop(self):
        path = self.installed(f"share/applications/{APP_ID}.desktop")
        done = run(["desktop-file-validate", path])
        # Hints are advice (the three categories are wanted); errors and warnings are not.
        complaints = [line for line in done.stdout.splitlines() + done.stderr.splitlines()
                      if ": error:" in line or ": warning:" in line]
        check(done.returncode == 0 and not complaints,
              f"desktop-file-validate: {done.stdout}{done.stderr}")
        entry = {}
        with open(path, encoding="utf-8") as f:
            for line in f:
                if "=" in line and not line.startswith("#"):
                    key, value = line.rstrip("\n").split("=", 1)
                    entry[key] = value
        for key in ["Name", "GenericName", "Comment", "Keywords"]:
            for language in LANGUAGES:
                translated = entry.get(f"{key}[{language}]", "")
                check(translated, f"{key}[{language}] is missing")
                if key != "Name":
                    check(translated != entry.get(key), f"{key}[{language}] is the English text")
        check(entry.get("Icon") == APP_ID, f"Icon is {entry.get('Icon')}")
        check(entry.get("Categories") == "Audio;AudioVideo;Utility;",
              f"Categories are {entry.get('Categories')}")
        if self.window_built():
            check(os.path.exists(self.installed("bin/" + entry.get("Exec", "").split()[0])),
                  f"Exec {entry.get('Exec')} is not installed")

    # -- AppStream ---------------------------------------------------------------------------

    def metainfo(self):
        path = self.installed(f"share/metainfo/{APP_ID}.metainfo.xml")
        done = run(["appstreamcli", "validate", "--no-net", "--explain", path])
        check(done.returncode == 0, f"appstreamcli validate: {done.stdout}{done.stderr}")
        component = ElementTree.parse(path).getroot()
        check(component.findtext("id") == APP_ID, "the component id differs from the app id")
        launchable = component.findtext("launchable")
        check(launchable and os.path.exists(self.installed("share/applications/" + launchable)),
              f"launchable {launchable} is not installed")
        releases = component.findall("releases/release")
        check(releases and releases[0].get("version") == self.version.split("-")[0],
              f"the newest release is not {self.version}")
        check(component.find("content_rating") is not None, "no content rating")
        check(component.findall("screenshots/screenshot"), "no screenshots")

    # -- manual pages ------------------------------------------------------------------------

    def man_page(self, name):
        path = self.installed(f"share/man/man1/{name}.1.gz")
        with gzip.open(path, "rt", encoding="ascii") as f:
            text = f.read()
        # groff complains about what it cannot set; -ww turns on every warning.
        done = run(["groff", "-man", "-Tutf8", "-ww", "-z"], input=text)
        check(done.returncode == 0 and not done.stderr.strip(),
              f"groff on {name}(1): {done.stderr}")
        return text

    def man(self):
        text = self.man_page("sonorix-cli")
        usage = self.cli("--help")
        commands = re.findall(r"^  ([a-z][a-z-]*) ", usage.stdout, re.MULTILINE)
        check(len(commands) >= 10, f"--help lists only {commands}")
        for command in commands:
            check(f"\n.SS {command.replace('-', chr(92) + '-')}\n" in text,
                  f"sonorix-cli(1) has no section for {command}")
        status = text[text.find(".SH EXIT STATUS"):]
        check(".SH EXIT STATUS" in text, "sonorix-cli(1) has no EXIT STATUS")
        for code in EXIT_STATUSES:
            check(f"\n.B {code}\n" in status, f"sonorix-cli(1) does not explain exit status {code}")
        for option in ["library", "data-dir", "language", "version"]:
            roff_option = "\\-\\-" + option.replace("-", "\\-")
            check(f".B {roff_option}" in text[text.find(".SH OPTIONS"):],
                  f"sonorix-cli(1) has no option --{option}")
        source = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        version = self.cli("--version").stdout.strip()
        check(f'"{version.replace("-", chr(92) + "-")}"' in text.split("\n")[0],
              f"sonorix-cli(1) is not of {version}")
        if self.window_built():
            self.man_page("sonorix")
        # man finds the page by name in the installed tree.
        done = run(["man", "-M", self.installed("share/man"), "-P", "cat", "sonorix-cli"],
                   env=dict(self.env, MANWIDTH="80"))
        check(done.returncode == 0 and "COMMANDS" in done.stdout,
              f"man sonorix-cli: {done.stderr}")

    # -- bash completion ---------------------------------------------------------------------

    def complete(self, line, library):
        script = f"""
            source /usr/share/bash-completion/bash_completion
            source {self.installed('share/bash-completion/completions/sonorix-cli')!r}
            PATH={os.path.dirname(self.installed('bin/sonorix-cli'))!r}:$PATH
            line=$1
            COMP_LINE=$line
            COMP_POINT=${{#line}}
            eval "COMP_WORDS=($line)"
            [[ $line == *' ' ]] && COMP_WORDS+=("")
            COMP_CWORD=$((${{#COMP_WORDS[@]}} - 1))
            _sonorix_cli
            printf '%s\\n' "${{COMPREPLY[@]}}"
        """
        done = run(["bash", "-c", script, "complete", line], env=self.env, cwd=self.work)
        check(done.returncode == 0, f"completing {line!r}: {done.stderr}")
        return done.stdout.split("\n")[:-1]

    def completion(self):
        # A data folder of its own, fresh for every run: the check adds a group to it.
        self.data = os.path.join(self.work, "completion-data")
        shutil.rmtree(self.data, ignore_errors=True)
        self.env["XDG_DATA_HOME"] = self.data
        library = os.path.join(self.work, "library.xml")
        with open(library, "wb") as f:
            song = {"Track ID": 1, "Name": "Song", "Persistent ID": "00000000000000A1",
                    "Track Type": "File", "Location": "file:///nowhere/song.mp3"}
            plistlib.dump({"Major Version": 1, "Minor Version": 1, "Application Version": "12.9",
                           "Library Persistent ID": "0123456789ABCDEF", "Tracks": {"1": song},
                           "Playlists": []}, f)
        made = self.cli("--library", library, "group-new", "Live Sets")
        check(made.returncode == 0, f"group-new: {made.stdout}{made.stderr}")

        def expect(line, wanted, exactly=False):
            got = self.complete(line, library)
            if exactly:
                check(sorted(got) == sorted(wanted), f"{line!r} completes to {got}, not {wanted}")
            else:
                for word in wanted:
                    check(word in got, f"{line!r} completes to {got}, without {word}")
            return got

        everything = expect("sonorix-cli ", ["adjust", "tag", "analyze", "group-rename"])
        check(not any(word.startswith("-") for word in everything), "options among commands")
        expect("sonorix-cli ta", ["tag"], exactly=True)
        expect("sonorix-cli --", ["--library", "--data-dir", "--language", "--version"])
        expect("sonorix-cli tag --", ["--format", "--set"])
        expect("sonorix-cli list --s", ["--search", "--sort"], exactly=True)
        expect("sonorix-cli analyze --format ", ["human", "tsv"], exactly=True)
        expect("sonorix-cli config Perc", ["PerceivedLoudness"], exactly=True)
        expect("sonorix-cli --language Fr", ["Fran\u00e7ais"], exactly=True)
        expect(f"sonorix-cli --library {library} list --group L", ["Live\\ Sets"], exactly=True)
        expect(f"sonorix-cli adjust --library {library} group Li", ["Live\\ Sets"], exactly=True)
        open(os.path.join(self.work, "tune.flac"), "wb").close()
        expect("sonorix-cli tag tu", ["tune.flac"], exactly=True)

    # -- Debian package ----------------------------------------------------------------------

    def deb(self):
        out = os.path.join(self.work, "deb")
        shutil.rmtree(out, ignore_errors=True)
        done = run(["cpack", "-G", "DEB", "-B", out, "--config",
                    os.path.join(self.build, "CPackConfig.cmake")], cwd=self.work)
        if not check(done.returncode == 0, f"cpack: {done.stdout}{done.stderr}"):
            return
        packages = [name for name in os.listdir(out) if name.endswith(".deb")]
        if not check(len(packages) == 1, f"cpack made {packages}"):
            return
        package = os.path.join(out, packages[0])
        check(re.fullmatch(r"sonorix_[0-9][^_]*_[a-z0-9]+\.deb", packages[0]) is not None,
              f"package name {packages[0]}")
        control = run(["dpkg-deb", "-f", package]).stdout
        fields = dict(re.findall(r"^([A-Za-z-]+): (.*)$", control, re.MULTILINE))
        check(fields.get("Section") == "sound", f"Section: {fields.get('Section')}")
        depends = fields.get("Depends", "")
        for library in ["libtag", "libavformat", "libxerces-c", "libstdc++6"]:
            check(library in depends, f"Depends lacks {library}: {depends}")
        if self.window_built():
            check("libqt6widgets6" in depends, f"Depends lacks Qt: {depends}")
        check("\n " in control, "the description has no long text")

        root = os.path.join(out, "root")
        run(["dpkg", "-x", package, root])
        for path in ["usr/bin/sonorix-cli", f"usr/share/applications/{APP_ID}.desktop",
                     f"usr/share/metainfo/{APP_ID}.metainfo.xml",
                     f"usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
                     "usr/share/man/man1/sonorix-cli.1.gz",
                     "usr/share/bash-completion/completions/sonorix-cli",
                     "usr/share/doc/sonorix/copyright", "usr/share/doc/sonorix/changelog.gz"] + (
                         ["usr/bin/sonorix", "usr/share/man/man1/sonorix.1.gz"]
                         if self.window_built() else []):
            check(os.path.isfile(os.path.join(root, path)), f"the package lacks /{path}")
        listing = run(["dpkg-deb", "-c", package]).stdout
        check("/usr/local" not in listing and "_CPack" not in listing,
              f"files outside /usr:\n{listing}")
        version = run([os.path.join(root, "usr/bin/sonorix-cli"), "--version"], env=self.env,
                      cwd=self.work)
        check(version.returncode == 0 and version.stdout.startswith("sonorix-cli "),
              f"the packaged sonorix-cli --version: {version.stdout}{version.stderr}")

        if shutil.which("lintian"):
            done = run(["lintian", "--no-tag-display-limit", package], cwd=self.work)
            errors = [line for line in done.stdout.splitlines() if line.startswith("E:")]
            check(not errors, "lintian:\n" + "\n".join(errors))
            if done.stdout.strip():
                print(done.stdout)


def main():
    if len(sys.argv) != 5:
        print(__doc__, file=sys.stderr)
        return 2
    name, build, work, version = sys.argv[1:]
    checks = Checks(build, work, version)
    if name != "install" and not os.path.isdir(checks.root):
        print(f"nothing installed in {checks.root}", file=sys.stderr)
        return 1
    getattr(checks, name)()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
