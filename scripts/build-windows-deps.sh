#!/usr/bin/env bash
# Builds the third-party libraries of the Windows cross build once and caches them.
# Usage: build-windows-deps.sh DEPS-DIR
#
# DEPS-DIR/include  tinyxml2.h, and links to the spdlog, fmt, gtest and gmock header trees
#                   (never the host's whole /usr/include, which would shadow mingw's headers)
# DEPS-DIR/lib      libtinyxml2.a, libgtest.a, libgmock.a, libgtest_main.a
#
# tinyxml2 comes from its Debian source package; GoogleTest from the googletest package's
# sources in /usr/src/googletest. A stamp with the package and compiler versions decides
# whether anything has to be built again.
set -euo pipefail

if [ $# -ne 1 ]; then
    echo "usage: $0 DEPS-DIR" >&2
    exit 2
fi
mkdir -p "$1"
deps=$(cd "$1" && pwd)
# The release build (make dist) shares the test build's directory: one of them at a time.
exec 9>"$deps.lock"
flock 9
cxx=${TARNWICK_MINGW_CXX:-x86_64-w64-mingw32-g++-posix}
ar=${TARNWICK_MINGW_AR:-x86_64-w64-mingw32-ar}
cxxflags=(-std=c++17 -O2 -DNDEBUG)

version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo none; }
stamp="tinyxml2 $(version libtinyxml2-dev); googletest $(version googletest); $("$cxx" -dumpfullversion); $(sha1sum <"$0" | cut -c1-12)"
if [ -f "$deps/stamp" ] && [ "$(cat "$deps/stamp")" = "$stamp" ]; then
    exit 0
fi

rm -rf "$deps/include" "$deps/lib" "$deps/obj" "$deps/src"
mkdir -p "$deps/include" "$deps/lib" "$deps/obj" "$deps/src"

# Header-only libraries and GoogleTest's headers: link just their own trees.
ln -s /usr/include/spdlog "$deps/include/spdlog"
ln -s /usr/include/fmt "$deps/include/fmt"
gtest_src=/usr/src/googletest
ln -s "$gtest_src/googletest/include/gtest" "$deps/include/gtest"
ln -s "$gtest_src/googlemock/include/gmock" "$deps/include/gmock"

# tinyxml2's source package, fetched with a private apt state whose deb-src entries are made
# from this machine's own apt sources, so the system's configuration stays untouched.
apt_dir=$deps/apt
mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
: >"$apt_dir/sources.list"
: >"$apt_dir/sources.list.d/deb-src.sources"
: >"$apt_dir/sources.list.d/deb-src.list"
shopt -s nullglob
for file in /etc/apt/sources.list.d/*.sources; do
    sed -E 's/^Types:.*$/Types: deb-src/' "$file" >>"$apt_dir/sources.list.d/deb-src.sources"
    echo >>"$apt_dir/sources.list.d/deb-src.sources"
done
for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    sed -nE 's/^[[:space:]]*deb[[:space:]]+/deb-src /p' "$file" >>"$apt_dir/sources.list.d/deb-src.list"
done
shopt -u nullglob
apt_options=(
    -o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache"
    -o "Acquire::Languages=none"
    -o "APT::Sandbox::User=$(id -un)"
    -q
)
echo "Fetching the tinyxml2 source package"
apt-get "${apt_options[@]}" update >"$apt_dir/update.log" 2>&1 || {
    cat "$apt_dir/update.log" >&2
    exit 1
}
(cd "$deps/src" && apt-get "${apt_options[@]}" source tinyxml2 >"$apt_dir/source.log" 2>&1) || {
    cat "$apt_dir/source.log" >&2
    exit 1
}
tinyxml2_dir=$(find "$deps/src" -mindepth 1 -maxdepth 1 -type d -name 'tinyxml2-*' | head -n 1)
if [ -z "$tinyxml2_dir" ] || [ ! -f "$tinyxml2_dir/tinyxml2.cpp" ]; then
    echo "build-windows-deps.sh: tinyxml2 sources not found under $deps/src" >&2
    exit 1
fi
cp "$tinyxml2_dir/tinyxml2.h" "$deps/include/tinyxml2.h"

echo "Building tinyxml2 and GoogleTest for Windows"
compile() {
    local object=$1
    shift
    "$cxx" "${cxxflags[@]}" "$@" -c -o "$deps/obj/$object"
}
gtest_includes=(-I"$gtest_src/googletest/include" -I"$gtest_src/googletest")
gmock_includes=(-I"$gtest_src/googlemock/include" -I"$gtest_src/googlemock" "${gtest_includes[@]}")
# Two compilers at a time: the machine has two cores.
compile tinyxml2.o "$tinyxml2_dir/tinyxml2.cpp" &
compile gtest-all.o "${gtest_includes[@]}" "$gtest_src/googletest/src/gtest-all.cc" &
wait -n
compile gmock-all.o "${gmock_includes[@]}" "$gtest_src/googlemock/src/gmock-all.cc" &
wait -n
compile gtest_main.o "${gtest_includes[@]}" "$gtest_src/googletest/src/gtest_main.cc" &
wait -n
wait -n
for library in tinyxml2:tinyxml2.o gtest:gtest-all.o gmock:gmock-all.o gtest_main:gtest_main.o; do
    "$ar" rcs "$deps/lib/lib${library%%:*}.a" "$deps/obj/${library#*:}"
done

echo "$stamp" >"$deps/stamp"
