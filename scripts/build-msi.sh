#!/usr/bin/env bash
# Builds the Windows installer from packaging/msi with msitools' wixl.
#
#   scripts/build-msi.sh [OUT.msi]
#     OUT.msi  default $LUCSP_BUILD_ROOT/msi/Varno_LUCSP_Server-VERSION.msi
#   LUCSP_MSI_VERSION   product version (default: the project's); a higher one upgrades an installed one
#   LUCSP_BUILD_ROOT    where build/win-i686 and build/win-x86_64 are (default build/ in the work tree);
#                       missing trees are configured and built (Release)
#   LUCSP_SIGN_CERT, LUCSP_SIGN_KEY (or LUCSP_SIGN_PKCS11_URI with LUCSP_SIGN_PKCS11_MODULE): when set,
#                       the DLLs and lucsp.exe are signed before packaging and the MSI after (scripts/sign.sh)
# Prints the path of the MSI as its last line.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${LUCSP_BUILD_ROOT:-$top/build}
version=${LUCSP_MSI_VERSION:-$(sed -n 's/^project(LUCSP VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")}
msi=${1:-$out/msi/Varno_LUCSP_Server-$version.msi}
command -v wixl >/dev/null || { echo "build-msi: wixl missing (apt-get install wixl; scripts/setup.sh)" >&2; exit 1; }

for arch in i686 x86_64; do
  dir=$out/win-$arch
  if [[ ! -f $dir/CMakeCache.txt ]]; then
    "$top/scripts/deps/build-mingw-deps.sh" "$arch" >/dev/null
    cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$top/cmake/toolchain-mingw-$arch.cmake" >/dev/null
  fi
  cmake --build "$dir" --target Varno_LUCSP_Server Varno_LUKSP_Server lucsp >/dev/null
done

# The files go into the package from a staging folder, so that signing never touches the build trees.
stage=$out/msi/stage
rm -rf "$stage"
mkdir -p "$stage/x86" "$stage/x64"
cp "$out/win-i686/src/dll/Varno_LUCSP_Server.dll" "$out/win-i686/src/dll/Varno_LUKSP_Server.dll" "$stage/x86/"
cp "$out/win-x86_64/src/dll/Varno_LUCSP_Server.dll" "$out/win-x86_64/src/dll/Varno_LUKSP_Server.dll" "$stage/x64/"
cp "$out/win-x86_64/tools/lucsp/lucsp.exe" "$stage/x64/"
signing=0
if [[ -n ${LUCSP_SIGN_CERT:-} || -n ${LUCSP_SIGN_PKCS11_URI:-} ]]; then
  signing=1
  "$top/scripts/sign.sh" "$stage/x86/Varno_LUCSP_Server.dll" "$stage/x64/Varno_LUCSP_Server.dll" \
    "$stage/x86/Varno_LUKSP_Server.dll" "$stage/x64/Varno_LUKSP_Server.dll" "$stage/x64/lucsp.exe"
fi

mkdir -p "$(dirname "$msi")"
msi=$(cd "$(dirname "$msi")" && pwd)/$(basename "$msi")
# wixl takes the files' paths relative to where it runs.
(cd "$stage" && wixl -a x64 -o "$msi" -D "Version=$version" -D "Dll32=x86/Varno_LUCSP_Server.dll" \
  -D "Dll64=x64/Varno_LUCSP_Server.dll" -D "Ksp32=x86/Varno_LUKSP_Server.dll" \
  -D "Ksp64=x64/Varno_LUKSP_Server.dll" -D "Tool=x64/lucsp.exe" "$top/packaging/msi/Varno_LUCSP_Server.wxs")
if ((signing)); then "$top/scripts/sign.sh" "$msi"; fi
echo "$msi"
