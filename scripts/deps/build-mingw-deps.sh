#!/usr/bin/env bash
# Cross-builds static OpenSSL (libcrypto + libssl) and libcurl for mingw-w64 from Debian's own
# source packages, into a per-arch prefix cached outside any build tree:
#   $LUCSP_DEPS_CACHE/openssl-<ver>_curl-<ver>/<arch>/{include,lib}
# $LUCSP_DEPS_CACHE/current points at the version pair last resolved; cmake/MingwDeps.cmake
# defaults to it. A complete prefix (stamp file) is reused without touching apt or the network.
#
# Usage: build-mingw-deps.sh i686|x86_64|all
# Environment:
#   LUCSP_DEPS_CACHE    cache root (default /var/cache/lucsp-deps)
#   LUCSP_DEPS_REFRESH  1 = ask apt for the current source versions even if a complete cache exists
#   LUCSP_DEPS_JOBS     parallel make jobs (default 2)
#   LUCSP_DEPS_OPENSSL_APPS  1 = also build OpenSSL's command-line program with the capi engine built in,
#                       from the same sources, into $LUCSP_DEPS_CACHE/<key>/<arch>-apps/bin/openssl.exe: a
#                       CryptoAPI client for the acceptance tests under Wine, never part of the product
set -euo pipefail

CACHE_ROOT=${LUCSP_DEPS_CACHE:-/var/cache/lucsp-deps}
JOBS=${LUCSP_DEPS_JOBS:-2}
REFRESH=${LUCSP_DEPS_REFRESH:-0}
# Bump when the build options below change, so that stale prefixes get rebuilt.
RECIPE_OPENSSL=4
RECIPE_CURL=3
RECIPE="openssl-$RECIPE_OPENSSL.curl-$RECIPE_CURL"
RECIPE_APPS=1
WITH_APPS=${LUCSP_DEPS_OPENSSL_APPS:-0}

# shellcheck source=../lib/apt-common.sh
. "$(dirname "$0")/../lib/apt-common.sh"

# Progress goes to the caller's stderr (fd 3) even from sections whose output is sent to a log file.
exec 3>&2
log() { printf '[mingw-deps] %s\n' "$*" >&3; }
die() {
    log "ERROR: $*"
    exit 1
}

usage() {
    echo "usage: $0 i686|x86_64|all" >&2
    exit 2
}

[[ $# -eq 1 ]] || usage
case "$1" in
i686 | x86_64) ARCHES=("$1") ;;
all) ARCHES=(i686 x86_64) ;;
*) usage ;;
esac
[[ $(id -u) -eq 0 ]] || die "must run as root (installs packages, writes $CACHE_ROOT)"

now() { date +%s; }

stamp_ok() { # prefix
    [[ -f "$1/.complete" ]] && grep -qx "recipe=$RECIPE" "$1/.complete"
}

mkdir -p "$CACHE_ROOT"

# --- Host packages ---------------------------------------------------------------------------------
APT_UPDATED=0
update_once() {
    if [[ $APT_UPDATED == 0 ]]; then
        log "apt-get update"
        apt_update "$CACHE_ROOT/apt-update.log" || true
        APT_UPDATED=1
    fi
}

ensure_packages() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [[ ${#missing[@]} -eq 0 ]] && return 0
    update_once
    log "installing ${missing[*]}"
    apt_install "$CACHE_ROOT/apt-install.log" "${missing[@]}" || die "apt-get install failed, see $CACHE_ROOT/apt-install.log"
}

ensure_packages gcc-mingw-w64-i686 g++-mingw-w64-i686 gcc-mingw-w64-x86-64 g++-mingw-w64-x86-64 \
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 make perl patch dpkg-dev xz-utils ca-certificates

# --- Fast path: everything requested is already cached (no apt, no network) ---------------------
apps_stamp_ok() { # dir
    [[ -f "$1/.complete" ]] && grep -qx "recipe=apps-$RECIPE_APPS" "$1/.complete"
}

all_cached() {
    local a
    for a in "${ARCHES[@]}"; do
        stamp_ok "$CACHE_ROOT/current/$a" || return 1
        [[ $WITH_APPS != 1 ]] || apps_stamp_ok "$CACHE_ROOT/current/$a-apps" || return 1
    done
}

print_prefixes() {
    local a key
    key=$(readlink "$CACHE_ROOT/current")
    for a in "${ARCHES[@]}"; do
        echo "$CACHE_ROOT/$key/$a"
    done
}

if [[ "$REFRESH" != 1 ]] && all_cached; then
    log "cached: $(readlink "$CACHE_ROOT/current")"
    print_prefixes
    exit 0
fi

# One builder at a time per cache (CI runs and developers may share a machine).
exec 9>"$CACHE_ROOT/.lock"
flock 9
if [[ "$REFRESH" != 1 ]] && all_cached; then
    log "cached (built by a concurrent run): $(readlink "$CACHE_ROOT/current")"
    print_prefixes
    exit 0
fi

# --- Source packages -------------------------------------------------------------------------------
# Debian images usually carry only "deb" entries; derive "deb-src" twins of the distribution's own
# entries (same URIs, suites, components, keys). Third-party repositories are left alone.
SRC_LIST=/etc/apt/sources.list.d/lucsp-deb-src.sources
SRC_LIST_LEGACY=/etc/apt/sources.list.d/lucsp-deb-src.list

have_sources() { [[ -n "$(apt-cache showsrc openssl 2>/dev/null | head -1)" ]] && [[ -n "$(apt-cache showsrc curl 2>/dev/null | head -1)" ]]; }

ensure_deb_src() {
    have_sources && return 0
    local codename
    # shellcheck disable=SC1091
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    [[ -n "$codename" ]] || die "cannot tell the Debian codename from /etc/os-release"
    if [[ ! -f "$SRC_LIST" && ! -f "$SRC_LIST_LEGACY" ]]; then
        local f tmp822 tmplist
        tmp822=$(mktemp)
        tmplist=$(mktemp)
        for f in /etc/apt/sources.list.d/*.sources; do
            [[ -f "$f" && "$f" != "$SRC_LIST" ]] || continue
            awk -v cn="$codename" 'BEGIN { RS = ""; ORS = "\n\n" }
                {
                    if ($0 !~ /(^|\n)Types:[^\n]*(^|[ \t])deb([ \t]|\n|$)/) next
                    if ($0 ~ /(^|\n)Enabled:[ \t]*no/) next
                    if ($0 !~ ("(^|\n)Suites:[^\n]*" cn)) next
                    sub(/(^|\n)Types:[^\n]*/, "\nTypes: deb-src")
                    sub(/^\n/, "")
                    print
                }' "$f" >>"$tmp822"
        done
        for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
            [[ -f "$f" && "$f" != "$SRC_LIST_LEGACY" ]] || continue
            awk -v cn="$codename" '$1 == "deb" && $0 ~ cn { $1 = "deb-src"; print }' "$f" >>"$tmplist"
        done
        if [[ -s "$tmp822" ]]; then
            install -m 0644 "$tmp822" "$SRC_LIST"
            log "added deb-src entries: $SRC_LIST"
        fi
        if [[ -s "$tmplist" ]]; then
            install -m 0644 "$tmplist" "$SRC_LIST_LEGACY"
            log "added deb-src entries: $SRC_LIST_LEGACY"
        fi
        rm -f "$tmp822" "$tmplist"
    fi
    APT_UPDATED=0
    update_once
    have_sources || die "no source package for openssl/curl after adding deb-src entries"
}

DL_DIR="$CACHE_ROOT/src"

first_file() { # prints the first existing file among the arguments, signatures excluded
    local f
    for f in "$@"; do
        if [[ -f "$f" && "$f" != *.asc ]]; then
            echo "$f"
            return 0
        fi
    done
}

# Fetches the source package of $1 (newest version whose orig tarball is obtainable) into $DL_DIR.
# Sets FETCHED_VERSION (Debian version) and FETCHED_ORIG (orig tarball path).
fetch_source() {
    local pkg=$1 v up orig
    mkdir -p "$DL_DIR"
    local versions
    versions=$(apt-cache showsrc "$pkg" | awk '/^Version:/ { print $2 }' | sort -Vru)
    [[ -n "$versions" ]] || die "apt knows no source versions of $pkg"
    for v in $versions; do
        up=${v#*:}
        up=${up%-*}
        orig=$(first_file "$DL_DIR/${pkg}_${up}".orig.tar.*)
        if [[ -z "$orig" || ! -f "$DL_DIR/${pkg}_${v#*:}.dsc" ]]; then
            log "fetching source $pkg=$v"
            # The Debian part of a security update can be missing from the mirror; the orig tarball
            # is what counts, so a partial download is acceptable.
            (cd "$DL_DIR" && "${APT_GET[@]}" source --download-only -q "$pkg=$v") \
                >>"$DL_DIR/apt-source-$pkg.log" 2>&1 || log "apt-get source $pkg=$v incomplete (see $DL_DIR/apt-source-$pkg.log)"
            orig=$(first_file "$DL_DIR/${pkg}_${up}".orig.tar.*)
        fi
        if [[ -n "$orig" ]]; then
            FETCHED_VERSION=$v
            FETCHED_ORIG=$orig
            return 0
        fi
    done
    die "could not fetch an orig tarball of $pkg"
}

# Build-system files: Debian patches touching these are packaging changes that would need autoreconf
# (library renames, zsh completion, curl-config edits, ldap flags); the mingw build does without them.
BUILD_FILES_RE='(^|/)(configure\.ac|Makefile\.am|Makefile\.in|[^/]*\.m4|ltmain\.sh|[^/]*-config\.in|[^/]*\.pc\.in|[^/]*\.vers\.in|Configure|Configurations/.*|build\.info|[^/]*\.cnf)$'

# Unpacks the orig tarball of $pkg into $dest and, when the Debian part of version $v is present,
# applies Debian's source patches (that is where the security fixes of a stable release live).
# Sets SRC_DESC to what was built.
unpack_source() {
    local pkg=$1 v=$2 orig=$3 dest=$4 logf=$5
    local deb p files applied=0 skipped=()
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -xf "$orig" -C "$dest" --strip-components=1
    deb=$(first_file "$DL_DIR/${pkg}_${v#*:}".debian.tar.*)
    if [[ -z "$deb" ]]; then
        log "NOTE: $pkg: Debian part of $v not on the mirror; building the plain $(basename "$orig")"
        SRC_DESC="orig $(basename "$orig")"
        return 0
    fi
    mkdir -p "$dest/.debian"
    tar -xf "$deb" -C "$dest/.debian"
    if [[ -f "$dest/.debian/debian/patches/series" ]]; then
        while read -r p _; do
            [[ -z "$p" || "$p" == \#* ]] && continue
            files=$(grep -E '^\+\+\+ ' "$dest/.debian/debian/patches/$p" | awk '{ print $2 }' | cut -d/ -f2-)
            if grep -qE "$BUILD_FILES_RE" <<<"$files"; then
                skipped+=("$p")
                continue
            fi
            echo "applying $p" >>"$logf"
            patch -d "$dest" -p1 --forward --batch -s <"$dest/.debian/debian/patches/$p" >>"$logf" 2>&1 ||
                die "$pkg: Debian patch $p does not apply, see $logf"
            applied=$((applied + 1))
        done <"$dest/.debian/debian/patches/series"
    fi
    echo "skipped (build system): ${skipped[*]}" >>"$logf"
    log "$pkg: applied $applied Debian patches, skipped ${#skipped[@]} packaging ones"
    SRC_DESC="orig + $applied patches of $v"
}

# --- Builds ----------------------------------------------------------------------------------------
triple_of() {
    case "$1" in
    i686) echo i686-w64-mingw32 ;;
    x86_64) echo x86_64-w64-mingw32 ;;
    esac
}

# Whatever path of this machine a library carries ends up in the DLL, where Windows reads it as a
# path on C: that any user may create.
no_build_paths() { # static libraries
    local f
    for f in "$@"; do
        if grep -qaF "$CACHE_ROOT" "$f"; then
            die "$f contains the build path $CACHE_ROOT: $(strings "$f" | grep -F "$CACHE_ROOT" | head -3 | tr '\n' ' ')"
        fi
    done
}

build_openssl() { # arch prefix logdir
    local arch=$1 prefix=$2 logdir=$3 triple target ossldir bdir t0
    triple=$(triple_of "$arch")
    # The configuration, engine and module directories are compiled in (ENGINESDIR and MODULESDIR
    # would otherwise derive from --prefix, this machine's cache path). Windows reads a path like
    # /var/cache/... as C:\var\cache\..., a place any user may create; point all three where only
    # administrators can write. The provider loads none of them (no config, no-dso, no-engine).
    if [[ $arch == i686 ]]; then
        target=mingw
        ossldir="C:/Program Files (x86)/Common Files/SSL"
    else
        target=mingw64
        ossldir="C:/Program Files/Common Files/SSL"
    fi
    # Configure takes a drive path for a relative one on this host and puts the prefix in front of it
    # (--openssldir alone gave "<prefix>/C:/Program Files/..."): the make variables set them as they are.
    local ossldirs=(OPENSSLDIR="$ossldir" ENGINESDIR="$ossldir/engines-3" MODULESDIR="$ossldir/ossl-modules")
    bdir="$BUILD_ROOT/openssl-$arch"
    t0=$(now)
    log "$arch: openssl $OPENSSL_DEB: unpack + configure (log: $logdir/$arch-openssl.log)"
    unpack_source openssl "$OPENSSL_DEB" "$OPENSSL_ORIG" "$bdir" "$logdir/$arch-openssl.log"
    SRC_OPENSSL=$SRC_DESC
    # OpenSSL registers its cleanup with _onexit on Windows, expecting a CRT private to the DLL (as
    # with MSVC). mingw's _onexit is msvcrt.dll's process-wide one: once the DLL is unloaded (advapi32
    # frees a CSP on its last release) the process crashes at exit calling into the unmapped
    # image. mingw's atexit in a DLL is DLL-local and runs on unload, so use that.
    grep -q '_onexit(win32atexit)' "$bdir/crypto/init.c" || die "openssl: crypto/init.c changed, review the atexit fix"
    sed -i 's/^#if defined(_WIN32) \&\& !defined(__BORLANDC__)$/#if defined(_WIN32) \&\& !defined(__BORLANDC__) \&\& !defined(__MINGW32__)/' \
        "$bdir/crypto/init.c"
    grep -q '!defined(__BORLANDC__) && !defined(__MINGW32__)' "$bdir/crypto/init.c" || die "openssl: atexit fix did not apply"
    (
        cd "$bdir"
        # Assembler kept: the mingw targets take OpenSSL's perlasm in GNU as syntax (no nasm), and every
        # signature checks the service's answer with an RSA public operation, three to four times faster
        # with it, besides AES-GCM for TLS.
        # no-dso/no-engine: nothing is ever loaded from disk at run time.
        ./Configure "$target" no-shared no-tests no-dso no-engine \
            --cross-compile-prefix="$triple-" --prefix="$prefix" --libdir=lib \
            --openssldir="$ossldir"
        log "$arch: openssl: make -j$JOBS build_libs"
        make -j"$JOBS" "${ossldirs[@]}" build_libs
        make "${ossldirs[@]}" install_dev
    ) >>"$logdir/$arch-openssl.log" 2>&1 || die "$arch: openssl build failed, see $logdir/$arch-openssl.log"
    [[ -f "$prefix/lib/libcrypto.a" && -f "$prefix/lib/libssl.a" ]] || die "$arch: openssl installed no static libs"
    no_build_paths "$prefix/lib/libcrypto.a" "$prefix/lib/libssl.a"
    rm -rf "$bdir"
    T_OPENSSL=$(($(now) - t0))
    log "$arch: openssl done in ${T_OPENSSL}s"
}

# OpenSSL's openssl.exe with the capi engine, for the tests only: static engines (no-dso) put the engine
# into libcrypto, where "-engine capi" finds it; ciphers and protocols that no client test uses are left
# out to keep the build short.
build_openssl_apps() { # arch dest logdir
    local arch=$1 dest=$2 logdir=$3 triple target bdir t0
    triple=$(triple_of "$arch")
    if [[ $arch == i686 ]]; then target=mingw; else target=mingw64; fi
    bdir="$BUILD_ROOT/openssl-apps-$arch"
    t0=$(now)
    log "$arch: openssl apps with the capi engine (log: $logdir/$arch-openssl-apps.log)"
    unpack_source openssl "$OPENSSL_DEB" "$OPENSSL_ORIG" "$bdir" "$logdir/$arch-openssl-apps.log"
    (
        cd "$bdir"
        ./Configure "$target" no-shared no-tests no-asm no-dso enable-capieng \
            no-aria no-bf no-camellia no-cast no-idea no-md4 no-mdc2 no-rc2 no-rc4 no-rc5 no-seed no-sm2 no-sm3 \
            no-sm4 no-whirlpool no-gost no-srp no-ts no-cmp no-ct no-legacy no-ec2m no-scrypt no-siphash no-ocb \
            no-dtls no-sctp no-srtp \
            --cross-compile-prefix="$triple-" --prefix="$dest" --libdir=lib
        make -j"$JOBS" build_programs
    ) >>"$logdir/$arch-openssl-apps.log" 2>&1 || die "$arch: openssl apps build failed, see $logdir/$arch-openssl-apps.log"
    rm -rf "$dest"
    mkdir -p "$dest/bin"
    cp "$bdir/apps/openssl.exe" "$dest/bin/openssl.exe"
    "$triple-strip" "$dest/bin/openssl.exe"
    rm -rf "$bdir"
    printf 'recipe=apps-%s\nopenssl=%s (%s)\nseconds=%s\n' "$RECIPE_APPS" "$OPENSSL_DEB" "$SRC_DESC" \
        "$(($(now) - t0))" >"$dest/.complete"
    log "$arch: openssl apps done in $(($(now) - t0))s"
}

build_curl() { # arch prefix logdir
    local arch=$1 prefix=$2 logdir=$3 triple bdir t0
    triple=$(triple_of "$arch")
    bdir="$BUILD_ROOT/curl-$arch"
    t0=$(now)
    log "$arch: curl $CURL_DEB: unpack + configure (log: $logdir/$arch-curl.log)"
    unpack_source curl "$CURL_DEB" "$CURL_ORIG" "$bdir" "$logdir/$arch-curl.log"
    SRC_CURL=$SRC_DESC
    # libcurl appends TLS session secrets to the file named by SSLKEYLOGFILE in the host process's
    # environment: any program that loads the provider would leak the access token to whoever set
    # it. Remove the lookup itself, so that no file is opened and no key-log callback is installed.
    grep -q 'curl_getenv("SSLKEYLOGFILE")' "$bdir/lib/vtls/keylog.c" || die "curl: lib/vtls/keylog.c changed, review the key-log fix"
    sed -i 's/curl_getenv("SSLKEYLOGFILE")/NULL/' "$bdir/lib/vtls/keylog.c"
    ! grep -rqF '"SSLKEYLOGFILE"' "$bdir/lib" --include='*.c' || die "curl: SSLKEYLOGFILE still read somewhere in lib/"
    (
        cd "$bdir"
        rm -rf "$prefix/include/curl" "$prefix"/lib/libcurl.* "$prefix/lib/pkgconfig/libcurl.pc" "$prefix/bin/curl-config"
        # OpenSSL rather than Schannel: the product passes its own CA file (CURLOPT_CAINFO) and
        # can still use the Windows root store (CURLSSLOPT_NATIVE_CA). Only HTTP(S) and SMTP(S)
        # are needed; the rest is left out to keep the attack surface small. Win32 threads for the
        # resolver rather than winpthread; no openssl.cnf is read behind the product's back.
        PKG_CONFIG_LIBDIR="$prefix/lib/pkgconfig" PKG_CONFIG_PATH="" \
            CPPFLAGS="-I$prefix/include" LDFLAGS="-L$prefix/lib" \
            LIBS="-lws2_32 -lcrypt32 -lbcrypt -ladvapi32 -luser32 -lgdi32" \
            ./configure --host="$triple" --prefix="$prefix" \
            --with-openssl="$prefix" --without-schannel \
            --disable-shared --enable-static \
            --disable-ldap --disable-ldaps --without-libpsl --without-zlib --without-brotli \
            --without-zstd --without-libidn2 --without-nghttp2 --without-ngtcp2 --without-nghttp3 \
            --without-libssh2 --without-libssh --without-librtmp --without-libgsasl \
            --without-ca-bundle --without-ca-path --without-ca-fallback \
            --enable-http --enable-smtp --enable-proxy \
            --disable-ftp --disable-file --disable-dict --disable-gopher --disable-imap --disable-pop3 \
            --disable-rtsp --disable-telnet --disable-tftp --disable-mqtt --disable-smb \
            --disable-openssl-auto-load-config --disable-pthreads \
            --disable-manual --disable-dependency-tracking
        log "$arch: curl: make -j$JOBS -C lib"
        make -j"$JOBS" -C lib
        make -C lib install
        make -C include install
    ) >>"$logdir/$arch-curl.log" 2>&1 || die "$arch: curl build failed, see $logdir/$arch-curl.log"
    [[ -f "$prefix/lib/libcurl.a" ]] || die "$arch: curl installed no static lib"
    no_build_paths "$prefix/lib/libcurl.a"
    ! grep -qa SSLKEYLOGFILE "$prefix/lib/libcurl.a" || die "$arch: libcurl.a still names SSLKEYLOGFILE"
    local cfg="$bdir/lib/curl_config.h" d
    # USE_WIN32_CRYPTO is what makes CURLSSLOPT_NATIVE_CA read the Windows root store.
    for d in USE_OPENSSL USE_WIN32_CRYPTO USE_THREADS_WIN32; do
        grep -q "^#define $d 1" "$cfg" || die "$arch: curl configured without $d, see $logdir/$arch-curl.log"
    done
    rm -rf "$bdir"
    T_CURL=$(($(now) - t0))
    log "$arch: curl done in ${T_CURL}s"
}

ensure_deb_src
fetch_source openssl
OPENSSL_DEB=$FETCHED_VERSION
OPENSSL_ORIG=$FETCHED_ORIG
fetch_source curl
CURL_DEB=$FETCHED_VERSION
CURL_ORIG=$FETCHED_ORIG
up() {
    local u=${1#*:}
    echo "${u%-*}"
}
KEY="openssl-$(up "$OPENSSL_DEB")_curl-$(up "$CURL_DEB")"
BUILD_ROOT="$CACHE_ROOT/.build"
LOGDIR="$CACHE_ROOT/$KEY/logs"
mkdir -p "$LOGDIR" "$BUILD_ROOT"
ln -sfn "$KEY" "$CACHE_ROOT/current.tmp"
mv -T "$CACHE_ROOT/current.tmp" "$CACHE_ROOT/current"
log "sources: openssl $OPENSSL_DEB, curl $CURL_DEB -> $CACHE_ROOT/$KEY"

for arch in "${ARCHES[@]}"; do
    prefix="$CACHE_ROOT/$KEY/$arch"
    if stamp_ok "$prefix"; then
        log "$arch: cached"
        continue
    fi
    rm -f "$prefix/.complete"
    ossl_stamp="openssl=$OPENSSL_DEB recipe=$RECIPE_OPENSSL"
    if [[ -f "$prefix/.stamp-openssl" ]] && grep -qxF "$ossl_stamp" "$prefix/.stamp-openssl"; then
        log "$arch: openssl cached"
        T_OPENSSL=$(sed -n 's/^seconds=//p' "$prefix/.stamp-openssl")
        SRC_OPENSSL=$(sed -n 's/^source=//p' "$prefix/.stamp-openssl")
    else
        rm -rf "$prefix"
        mkdir -p "$prefix"
        : >"$LOGDIR/$arch-openssl.log"
        build_openssl "$arch" "$prefix" "$LOGDIR"
        printf '%s\nsource=%s\nseconds=%s\n' "$ossl_stamp" "$SRC_OPENSSL" "$T_OPENSSL" >"$prefix/.stamp-openssl"
    fi
    : >"$LOGDIR/$arch-curl.log"
    build_curl "$arch" "$prefix" "$LOGDIR"
    {
        echo "recipe=$RECIPE"
        echo "openssl=$OPENSSL_DEB ($SRC_OPENSSL)"
        echo "curl=$CURL_DEB ($SRC_CURL)"
        echo "openssl_seconds=$T_OPENSSL"
        echo "curl_seconds=$T_CURL"
        echo "built=$(date -u +%FT%TZ)"
    } >"$prefix/.complete.tmp"
    mv "$prefix/.complete.tmp" "$prefix/.complete"
done
if [[ $WITH_APPS == 1 ]]; then
    for arch in "${ARCHES[@]}"; do
        if apps_stamp_ok "$CACHE_ROOT/$KEY/$arch-apps"; then
            log "$arch: openssl apps cached"
        else
            build_openssl_apps "$arch" "$CACHE_ROOT/$KEY/$arch-apps" "$LOGDIR"
        fi
    done
fi
rmdir "$BUILD_ROOT" 2>/dev/null || true
print_prefixes
