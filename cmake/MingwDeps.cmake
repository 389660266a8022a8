# Static OpenSSL and libcurl for the Windows cross builds, as built by
# scripts/deps/build-mingw-deps.sh. Defines the imported targets
#   deps::crypto  libcrypto
#   deps::ssl     libssl (needs deps::crypto)
#   deps::curl    libcurl over OpenSSL (needs deps::ssl)
# each carrying its include directory, its compile definitions and the Windows system libraries
# it needs. Does nothing unless the target is Windows.
include_guard(GLOBAL)

if(NOT WIN32)
    return()
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(_lucsp_deps_arch x86_64)
else()
    set(_lucsp_deps_arch i686)
endif()

if(DEFINED ENV{LUCSP_DEPS_PREFIX} AND NOT "$ENV{LUCSP_DEPS_PREFIX}" STREQUAL "")
    set(_lucsp_deps_default "$ENV{LUCSP_DEPS_PREFIX}")
else()
    set(_lucsp_deps_default "/var/cache/lucsp-deps/current/${_lucsp_deps_arch}")
endif()
set(LUCSP_DEPS_PREFIX "${_lucsp_deps_default}"
    CACHE PATH "Prefix with include/ and lib/ of the static mingw OpenSSL and libcurl")

set(_lucsp_deps_files
    include/openssl/opensslv.h include/curl/curl.h lib/libcrypto.a lib/libssl.a lib/libcurl.a)
foreach(_f IN LISTS _lucsp_deps_files)
    if(NOT EXISTS "${LUCSP_DEPS_PREFIX}/${_f}")
        message(FATAL_ERROR
            "MingwDeps: ${LUCSP_DEPS_PREFIX}/${_f} not found.\n"
            "Build the dependencies first (as root):\n"
            "  scripts/deps/build-mingw-deps.sh ${_lucsp_deps_arch}\n"
            "or point LUCSP_DEPS_PREFIX at a prefix it made.")
    endif()
endforeach()

# Both libraries are static: whatever Windows DLLs their code calls must be linked by the consumer.
# bcrypt: RNG; crypt32: certificate stores (curl's CURLSSLOPT_NATIVE_CA, OpenSSL's store loader);
# ws2_32: sockets; advapi32/user32/gdi32: OpenSSL's entropy and event-log paths.
set(LUCSP_DEPS_CRYPTO_SYSLIBS ws2_32 crypt32 bcrypt advapi32 user32 gdi32)
set(LUCSP_DEPS_CURL_SYSLIBS ws2_32 crypt32 bcrypt advapi32 user32 secur32 iphlpapi)

if(NOT TARGET deps::crypto)
    add_library(deps::crypto STATIC IMPORTED GLOBAL)
    set_target_properties(deps::crypto PROPERTIES
        IMPORTED_LOCATION "${LUCSP_DEPS_PREFIX}/lib/libcrypto.a"
        INTERFACE_INCLUDE_DIRECTORIES "${LUCSP_DEPS_PREFIX}/include"
        # The code is written against the 1.1 interface; this keeps OpenSSL 3 from flagging it
        # as deprecated (warnings are errors).
        INTERFACE_COMPILE_DEFINITIONS "OPENSSL_API_COMPAT=0x10100000L"
        INTERFACE_LINK_LIBRARIES "${LUCSP_DEPS_CRYPTO_SYSLIBS}")
endif()

if(NOT TARGET deps::ssl)
    add_library(deps::ssl STATIC IMPORTED GLOBAL)
    set_target_properties(deps::ssl PROPERTIES
        IMPORTED_LOCATION "${LUCSP_DEPS_PREFIX}/lib/libssl.a"
        INTERFACE_INCLUDE_DIRECTORIES "${LUCSP_DEPS_PREFIX}/include"
        INTERFACE_LINK_LIBRARIES "deps::crypto")
endif()

if(NOT TARGET deps::curl)
    add_library(deps::curl STATIC IMPORTED GLOBAL)
    set_target_properties(deps::curl PROPERTIES
        IMPORTED_LOCATION "${LUCSP_DEPS_PREFIX}/lib/libcurl.a"
        INTERFACE_INCLUDE_DIRECTORIES "${LUCSP_DEPS_PREFIX}/include"
        # Without it curl.h declares the functions dllimport.
        INTERFACE_COMPILE_DEFINITIONS "CURL_STATICLIB"
        INTERFACE_LINK_LIBRARIES "deps::ssl;deps::crypto;${LUCSP_DEPS_CURL_SYSLIBS}")
endif()

file(STRINGS "${LUCSP_DEPS_PREFIX}/include/curl/curlver.h" _lucsp_curl_ver
     REGEX "^#define LIBCURL_VERSION \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _lucsp_curl_ver "${_lucsp_curl_ver}")
file(STRINGS "${LUCSP_DEPS_PREFIX}/include/openssl/opensslv.h" _lucsp_ossl_ver
     REGEX "^# *define OPENSSL_FULL_VERSION_STR \"")
string(REGEX REPLACE ".*\"(.*)\".*" "\\1" _lucsp_ossl_ver "${_lucsp_ossl_ver}")
message(STATUS "MingwDeps (${_lucsp_deps_arch}): OpenSSL ${_lucsp_ossl_ver}, libcurl ${_lucsp_curl_ver} "
               "from ${LUCSP_DEPS_PREFIX}")

unset(_f)
unset(_lucsp_deps_files)
unset(_lucsp_deps_default)
unset(_lucsp_curl_ver)
unset(_lucsp_ossl_ver)
