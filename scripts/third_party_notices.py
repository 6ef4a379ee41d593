#!/usr/bin/python3
"""Writes THIRD-PARTY-NOTICES.txt for one released executable.

Usage: third_party_notices.py windows --exe tarnwick.exe --map tarnwick.map --version V
       third_party_notices.py linux --exe tarnwick --version V

The libraries are found in what the executable was really built from, so that the notices
follow the versions installed at build time:
- windows: every archive and object file that the link map shows pulled in, plus the
  header-only libraries that the Windows build compiles in (spdlog and fmt);
- linux: every shared library that the executable needs (its NEEDED entries).
Each file is traced to its Debian package (dpkg -S); an archive that the build compiled from a
Debian source package is traced to that source. A library is listed with its package, the
package's version, its licence and the full text of the package's copyright file. A file from a
package that the table below does not know stops the script: a new dependency needs its
licence named here first.
"""

import argparse
import glob
import os
import re
import subprocess
import sys
import textwrap

# Debian package (full match) -> (library name, licence). Packages of one library share a name
# and are listed together.
LIBRARIES = [
    (r"tinyxml2|libtinyxml2-dev|libtinyxml2-\d+", "tinyxml2", "zlib"),
    (r"libspdlog-dev|libspdlog[\d.]+", "spdlog", "MIT"),
    (r"libfmt-dev|libfmt\d+", "fmt", "MIT, with an exception for embedded object code"),
    (r"mingw-w64-x86-64-dev|mingw-w64-common", "mingw-w64 runtime and winpthreads",
     "ZPL-2.1 (runtime), MIT (winpthreads), and the further permissive licences and public "
     "domain dedications listed file by file below"),
    (r"g\+\+-mingw-w64-x86-64-posix|gcc-mingw-w64-x86-64-posix(-runtime)?|libstdc\+\+6|"
     r"libgcc-s1", "libstdc++ and libgcc (GCC runtime libraries)",
     "GPL-3.0-or-later with the GCC Runtime Library Exception 3.1 (both texts below)"),
    (r"libsystemd0", "libsystemd (systemd)", "LGPL-2.1-or-later"),
]

# Compiled into the Windows executable from their headers only: no link map shows them.
WINDOWS_HEADER_ONLY = ["libspdlog-dev", "libfmt-dev"]

# Part of the operating system, which every user has already: not redistributed by us.
OS_PACKAGES = {"libc6"}
WINDOWS_OS_NOTE = ("Windows' own DLLs that it calls (KERNEL32, WS2_32, ADVAPI32, msvcrt and "
                   "the like) are part of the operating system and not listed.")
LINUX_OS_NOTE = "The C library (Debian package libc6) is part of the operating system and " \
    "not listed."

# What a linked file is, where its name does not say.
FILE_NOTES = {"libpthread.a": "libpthread.a (winpthreads)"}

RULE = "-" * 78
WIDTH = 78


def run(*args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


def package_of(path):
    """The installed Debian package that owns `path`, or None."""
    real = os.path.realpath(path)
    candidates = [path, real]
    # On merged-/usr systems a file may be registered under /lib rather than /usr/lib.
    for p in (path, real):
        if p.startswith("/usr/"):
            candidates.append(p[len("/usr"):])
        elif p.startswith("/"):
            candidates.append("/usr" + p)
    for candidate in dict.fromkeys(candidates):
        result = subprocess.run(["dpkg-query", "-S", candidate], capture_output=True, text=True)
        if result.returncode == 0:
            # "pkg[:arch][, other]: /path"; diversions are listed first and skipped.
            for line in result.stdout.splitlines():
                if line.startswith("diversion by"):
                    continue
                owner = line.rsplit(": ", 1)[0].split(",")[0].strip()
                return owner.split(":")[0]
    return None


def installed_package(package):
    """(version, copyright text) of an installed package."""
    version = run("dpkg-query", "-W", "-f=${Version}", package).strip()
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
        return version, f.read()


def source_package(archive):
    """(package, version, copyright text) of an archive that the build compiled itself from a
    Debian source package unpacked beside its lib/ directory, or None."""
    name = re.sub(r"^lib|\.a$", "", os.path.basename(archive))
    sources = os.path.join(os.path.dirname(os.path.dirname(archive)), "src", f"{name}-*")
    for tree in sorted(glob.glob(sources)):
        changelog = os.path.join(tree, "debian", "changelog")
        copyright_file = os.path.join(tree, "debian", "copyright")
        if os.path.isfile(changelog) and os.path.isfile(copyright_file):
            with open(changelog, encoding="utf-8") as f:
                first = f.readline()
            match = re.match(r"(\S+) \((\S+)\)", first)
            if match:
                with open(copyright_file, encoding="utf-8") as f:
                    return match.group(1), match.group(2), f.read()
    return None


def library_of(package):
    for pattern, name, licence in LIBRARIES:
        if re.fullmatch(pattern, package):
            return name, licence
    return None


def windows_linked_files(map_path, build_dir):
    """Archives that had members pulled in, and object files loaded directly, from a GNU ld map."""
    files = set()
    with open(map_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    in_archives = False
    for line in lines:
        if line.startswith("Archive member included"):
            in_archives = True
            continue
        if in_archives and line and not line[0].isspace():
            match = re.match(r"(.+\.a)\(.*\)$", line)
            if match:
                files.add(match.group(1))
                continue
            in_archives = False
        match = re.match(r"LOAD (\S+\.(?:o|obj))$", line)
        if match:
            files.add(match.group(1))
    return sorted(os.path.normpath(os.path.join(build_dir, f)) for f in files)


def linux_needed(exe):
    """(soname, path) of each shared library that `exe` needs, resolved as the loader would."""
    dynamic = run("readelf", "-d", exe)
    needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", dynamic)
    cache = run("/sbin/ldconfig", "-p")
    paths = {}
    for match in re.finditer(r"^\s*(\S+) \(([^)]*)\) => (\S+)$", cache, re.M):
        soname, flags, path = match.groups()
        if "x86-64" in flags:
            paths.setdefault(soname, path)
    missing = [n for n in needed if n not in paths]
    if missing:
        sys.exit(f"third_party_notices.py: cannot find {', '.join(missing)} on this system")
    return [(n, paths[n]) for n in needed]


class Notices:
    def __init__(self):
        # library name -> {"licence", "packages": {package: version}, "files": set, "texts": []}
        self.libraries = {}

    def add(self, package, version, text, shown_as):
        known = library_of(package)
        if known is None:
            sys.exit(f"third_party_notices.py: {shown_as or package} comes from the Debian "
                     f"package {package}, whose licence is not in this script's table")
        name, licence = known
        entry = self.libraries.setdefault(
            name, {"licence": licence, "packages": {}, "files": set(), "texts": []})
        entry["packages"][package] = version
        if shown_as:
            entry["files"].add(shown_as)
        if text not in entry["texts"]:
            entry["texts"].append(text)

    def add_installed(self, package, shown_as=None):
        version, text = installed_package(package)
        self.add(package, version, text, shown_as)

    def render(self, title, intro, file_label, no_files):
        order = [name for _, name, _ in LIBRARIES]
        names = sorted(self.libraries, key=order.index)
        out = [title, "=" * len(title), ""]
        for paragraph in intro:
            # An indented paragraph is a command line, kept whole.
            lines = [paragraph] if paragraph.startswith(" ") else textwrap.wrap(paragraph, WIDTH)
            out += lines + [""]
        out.append("Contents:")
        for number, name in enumerate(names, 1):
            out.append(f"  {number}. {name}")

        def field(label, value):
            return textwrap.wrap(f"{label}: {value}", WIDTH, initial_indent="   ",
                                 subsequent_indent=" " * (5 + len(label)),
                                 break_on_hyphens=False)

        for number, name in enumerate(names, 1):
            entry = self.libraries[name]
            packages = ", ".join(f"{p} {v}" for p, v in sorted(entry["packages"].items()))
            files = ", ".join(FILE_NOTES.get(f, f) for f in sorted(entry["files"]))
            out += ["", RULE, f"{number}. {name}"]
            out += field("Debian package", packages)
            out += field("Licence", entry["licence"])
            out += field(file_label, files or no_files)
            out += [RULE, ""]
            for text in entry["texts"]:
                out.append(text.rstrip("\n"))
                out.append("")
        return "\n".join(out).rstrip("\n") + "\n"


def windows(args):
    exe_name = os.path.basename(args.exe)
    build_dir = os.path.realpath(os.path.dirname(os.path.abspath(args.map)))
    source_dir = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
    notices = Notices()
    for path in windows_linked_files(args.map, build_dir):
        package = package_of(path)
        if package is not None:
            notices.add_installed(package, os.path.basename(path))
            continue
        built = source_package(path)
        if built is not None:
            name, version, text = built
            notices.add(name, version + " (its source package, compiled for Windows)", text,
                        os.path.basename(path))
            continue
        if any(os.path.realpath(path).startswith(d + os.sep) for d in (source_dir, build_dir)):
            continue  # Tarnwick's own objects and archive.
        sys.exit(f"third_party_notices.py: no Debian package owns {path}")
    for package in WINDOWS_HEADER_ONLY:
        notices.add_installed(package)
    title = f"Third-party software in Tarnwick {args.version} for Windows ({exe_name})"
    intro = [
        f"{exe_name} is linked statically: it contains code of the libraries below. Each is "
        "named with the Debian package it was built from, that package's version and its "
        "licence, followed by the package's copyright file with the notices and licence texts. "
        "The files named are the archives and objects that the link took parts of.",
        WINDOWS_OS_NOTE,
    ]
    return notices.render(title, intro, f"In {exe_name}", "compiled in from its headers")


def linux(args):
    exe_name = os.path.basename(args.exe)
    notices = Notices()
    for soname, path in linux_needed(args.exe):
        package = package_of(path)
        if package is None:
            sys.exit(f"third_party_notices.py: no Debian package owns {path} ({soname})")
        if package in OS_PACKAGES:
            continue
        notices.add_installed(package, soname)
    runtime = " ".join(sorted({p for e in notices.libraries.values() for p in e["packages"]}))
    title = f"Third-party software used by Tarnwick {args.version} for Linux ({exe_name})"
    intro = [
        f"{exe_name} is linked dynamically against the shared libraries below. Each is named "
        "with its Debian package, the version it was built with and its licence, followed by "
        "the package's copyright file with the notices and licence texts.",
        LINUX_OS_NOTE,
        "On Debian 12 and its derivatives they are installed with:",
        f"  apt install {runtime}",
    ]
    return notices.render(title, intro, "Shared library", "none")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("platform", choices=["windows", "linux"])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--map", help="the Windows link map")
    parser.add_argument("--version", required=True)
    parser.add_argument("--output", help="file to write (default: standard output)")
    args = parser.parse_args()
    if args.platform == "windows" and not args.map:
        parser.error("windows needs --map")
    text = windows(args) if args.platform == "windows" else linux(args)
    if args.output:
        with open(args.output, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
