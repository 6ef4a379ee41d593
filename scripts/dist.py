#!/usr/bin/python3
"""Builds the release archives (make dist).

Usage: dist.py [--build-root DIR] [--out DIR] [--jobs N]

Builds tarnwick (Linux) and tarnwick.exe (Windows) as release builds in BUILD-ROOT/build-dist-linux
and BUILD-ROOT/build-dist-windows (default: the source tree), and writes to OUT (default dist/):

  tarnwick-VERSION-windows-x64.zip      tarnwick.exe, README.txt, LICENSE.txt,
                                        THIRD-PARTY-NOTICES.txt (text with CR LF line ends)
  tarnwick-VERSION-linux-x86_64.tar.gz  tarnwick-VERSION-linux-x86_64/ with tarnwick, README,
                                        LICENSE, THIRD-PARTY-NOTICES.txt
  SHA256SUMS                            over both

The same commit gives the same bytes: the builds map away their paths and strip the
executables, and every archive entry carries the commit's time (SOURCE_DATE_EPOCH when set),
fixed owners and modes, in sorted order.
"""

import argparse
import gzip
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import time
import zipfile

SOURCE = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
sys.path.insert(0, os.path.join(SOURCE, "scripts"))
import third_party_notices  # noqa: E402

# Used when the source is not a git checkout: 2026-01-01 00:00:00 UTC.
FALLBACK_EPOCH = 1767225600


def read_version():
    with open(os.path.join(SOURCE, "VERSION"), encoding="ascii") as f:
        return f.read().strip()


def source_date_epoch():
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    result = subprocess.run(["git", "-C", SOURCE, "log", "-1", "--format=%ct"],
                            capture_output=True, text=True)
    if result.returncode == 0 and result.stdout.strip():
        return int(result.stdout.strip())
    return FALLBACK_EPOCH


def build(build_dir, jobs, extra):
    configure = ["cmake", "-S", SOURCE, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                 "-DTARNWICK_DIST=ON"] + extra
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "tarnwick", f"-j{jobs}"],
                   check=True)


def text_file(name, crlf, version=""):
    with open(os.path.join(SOURCE, name), encoding="utf-8") as f:
        text = f.read()
    return to_bytes(text.replace("@VERSION@", version), crlf)


def to_bytes(text, crlf):
    text = text.replace("\r\n", "\n")
    if crlf:
        text = text.replace("\n", "\r\n")
    return text.encode("utf-8")


def write_zip(path, members, epoch):
    """members: (name, bytes, executable) in any order; written sorted, with fixed metadata."""
    stamp = time.gmtime(max(epoch, 315532800))[:6]  # zip times start in 1980
    with zipfile.ZipFile(path, "w") as archive:
        for name, data, executable in sorted(members):
            info = zipfile.ZipInfo(name, date_time=stamp)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = (0o100755 if executable else 0o100644) << 16
            archive.writestr(info, data, compresslevel=9)


def write_tar_gz(path, top, members, epoch):
    """A tar under one top directory, sorted, owned by root, gzipped without name or time."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w", format=tarfile.PAX_FORMAT) as archive:
        def add(name, data=None, mode=0o644):
            info = tarfile.TarInfo(name)
            info.mtime = epoch
            info.uid = info.gid = 0
            info.uname = info.gname = "root"
            info.mode = mode
            if data is None:
                info.type = tarfile.DIRTYPE
                archive.addfile(info)
            else:
                info.size = len(data)
                archive.addfile(info, io.BytesIO(data))

        add(top, mode=0o755)
        for name, data, executable in sorted(members):
            add(f"{top}/{name}", data, 0o755 if executable else 0o644)
    with open(path, "wb") as out:
        with gzip.GzipFile(filename="", mode="wb", fileobj=out, mtime=0, compresslevel=9) as gz:
            gz.write(raw.getvalue())


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-root", default=SOURCE)
    parser.add_argument("--out", default=os.path.join(SOURCE, "dist"))
    parser.add_argument("--jobs", default=os.environ.get("JOBS", "2"))
    args = parser.parse_args()

    version = read_version()
    epoch = source_date_epoch()
    linux_dir = os.path.join(os.path.abspath(args.build_root), "build-dist-linux")
    windows_dir = os.path.join(os.path.abspath(args.build_root), "build-dist-windows")
    # The cross-built third-party libraries are shared with the Windows test build.
    deps_dir = os.path.join(SOURCE, "build-windows", "deps")

    build(linux_dir, args.jobs, [])
    build(windows_dir, args.jobs, ["--toolchain", os.path.join(SOURCE, "cmake", "mingw-w64.cmake"),
                                   f"-DTARNWICK_WINDOWS_DEPS_DIR={deps_dir}"])

    linux_exe = os.path.join(linux_dir, "tarnwick")
    windows_exe = os.path.join(windows_dir, "tarnwick.exe")
    notices_args = argparse.Namespace(version=version, exe=windows_exe,
                                      map=os.path.join(windows_dir, "tarnwick.map"))
    windows_notices = third_party_notices.windows(notices_args)
    linux_notices = third_party_notices.linux(argparse.Namespace(version=version, exe=linux_exe))

    def executable(path):
        with open(path, "rb") as f:
            return f.read()

    # Archives of an earlier version would be left out of SHA256SUMS: they go.
    os.makedirs(args.out, exist_ok=True)
    for name in os.listdir(args.out):
        if name.startswith("tarnwick-") or name == "SHA256SUMS":
            os.remove(os.path.join(args.out, name))
    zip_name = f"tarnwick-{version}-windows-x64.zip"
    linux_top = f"tarnwick-{version}-linux-x86_64"
    tar_name = f"{linux_top}.tar.gz"
    write_zip(os.path.join(args.out, zip_name), [
        ("tarnwick.exe", executable(windows_exe), True),
        ("README.txt", text_file("docs/README-windows.txt", crlf=True, version=version), False),
        ("LICENSE.txt", text_file("LICENSE", crlf=True), False),
        ("THIRD-PARTY-NOTICES.txt", to_bytes(windows_notices, crlf=True), False),
    ], epoch)
    write_tar_gz(os.path.join(args.out, tar_name), linux_top, [
        ("tarnwick", executable(linux_exe), True),
        ("README", text_file("docs/README-linux.txt", crlf=False, version=version), False),
        ("LICENSE", text_file("LICENSE", crlf=False), False),
        ("THIRD-PARTY-NOTICES.txt", to_bytes(linux_notices, crlf=False), False),
    ], epoch)

    sums = []
    for name in sorted([zip_name, tar_name]):
        with open(os.path.join(args.out, name), "rb") as f:
            sums.append(f"{hashlib.sha256(f.read()).hexdigest()}  {name}\n")
    with open(os.path.join(args.out, "SHA256SUMS"), "w", encoding="ascii", newline="\n") as f:
        f.writelines(sums)
    sys.stdout.write("".join(sums))


if __name__ == "__main__":
    main()
