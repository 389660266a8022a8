// The DPAPI stand-in: AES-256-GCM under a key of the user ($LUCSP_ROOT/protect/user-<uid>.key, mode
// 0600, refused when others can read it) or of the machine (protect/machine.key, readable by every
// local user as DPAPI's machine scope is usable by every local process).
#include "os/platOS.h"

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Version 1 as in a DPAPI blob, then a marker of our own instead of DPAPI's provider GUID.
const unsigned char kBlobHead[20] = {0x01, 0x00, 0x00, 0x00, 'L', 'U', 'C', 'S', 'P', '-',
                                     'P',  'R',  'O',  'T',  'E', 'C', 'T', '-', 'v', '1'};
const size_t kKeyLen = 32, kNonceLen = 12, kTagLen = 16;

std::string KeyDir() {
    // The data root is the parent of the mapped drive folder.
    std::string drive = osMapPath("C:\\");
    return drive.substr(0, drive.size() >= 2 ? drive.size() - 2 : 0) + "/protect";
}

bool ReadKey(const std::string& path, bool machine, unsigned char* key, struct stat& st) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size == static_cast<off_t>(kKeyLen) &&
              (machine || (st.st_uid == getuid() && (st.st_mode & 077) == 0)) &&
              read(fd, key, kKeyLen) == static_cast<ssize_t>(kKeyLen);
    close(fd);
    return ok;
}

// The scope's key, made on first use; a key another process made meanwhile wins.
bool LoadOrMakeKey(const std::string& dir, const std::string& path, bool machine, unsigned char* key,
                   struct stat& st) {
    if (ReadKey(path, machine, key, st)) return true;
    mkdir(dir.c_str(), 0755);
    unsigned char fresh[kKeyLen];
    if (RAND_bytes(fresh, sizeof(fresh)) != 1) return false;
    std::string temp = path + ".new" + std::to_string(getpid());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, machine ? 0644 : 0600);
    if (fd < 0) return false;
    bool written = write(fd, fresh, sizeof(fresh)) == static_cast<ssize_t>(sizeof(fresh)) && fsync(fd) == 0;
    close(fd);
    OPENSSL_cleanse(fresh, sizeof(fresh));
    if (written) link(temp.c_str(), path.c_str());
    unlink(temp.c_str());
    return ReadKey(path, machine, key, st);
}

// A key once read stays in the process, as DPAPI keeps its master keys in its service: revealing a
// token on every signature then looks the file up (a key made anew, or loosened, is noticed) but does
// not read it.
struct TKeptScopeKey {
    std::string Path;
    struct stat File;
    unsigned char Key[kKeyLen];
};

bool SameFile(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_mode == b.st_mode && a.st_uid == b.st_uid &&
           a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
           a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

bool ScopeKey(bool machine, unsigned char* key) {
    static std::mutex lock;
    static TKeptScopeKey kept[2];
    std::string dir = KeyDir();
    std::string path = dir + (machine ? "/machine.key" : "/user-" + std::to_string(getuid()) + ".key");
    struct stat now;
    bool found = lstat(path.c_str(), &now) == 0;
    std::lock_guard<std::mutex> guard(lock);
    TKeptScopeKey& slot = kept[machine ? 1 : 0];
    if (found && slot.Path == path && SameFile(slot.File, now)) {
        memcpy(key, slot.Key, kKeyLen);
        return true;
    }
    slot.Path.clear();
    if (!LoadOrMakeKey(dir, path, machine, key, slot.File)) return false;
    slot.Path = path;
    memcpy(slot.Key, key, kKeyLen);
    return true;
}

// AES-256-GCM over in, with the blob's header as authenticated data; the tag is set (decrypt) or taken.
bool Gcm(bool encrypt, const unsigned char* key, const std::string& head, const std::string& in,
         std::string& out, unsigned char* tag) {
    const unsigned char* nonce =
        reinterpret_cast<const unsigned char*>(head.data()) + head.size() - kNonceLen;
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (!ctx) return false;
    out.assign(in.size(), '\0');
    int n = 0;
    bool ok =
        EVP_CipherInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nonce, encrypt ? 1 : 0) == 1 &&
        EVP_CipherUpdate(ctx, nullptr, &n, reinterpret_cast<const unsigned char*>(head.data()),
                         static_cast<int>(head.size())) == 1 &&
        (in.empty() || EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n,
                                        reinterpret_cast<const unsigned char*>(in.data()),
                                        static_cast<int>(in.size())) == 1) &&
        (encrypt || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLen), tag) == 1) &&
        EVP_CipherFinal_ex(ctx, nullptr, &n) == 1 &&
        (!encrypt || EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagLen), tag) == 1);
    EVP_CIPHER_CTX_free(ctx);
    if (!ok) {
        OPENSSL_cleanse(&out[0], out.size());
        out.clear();
    }
    return ok;
}

} // namespace

bool osProtectData(const std::string& plain, bool machineScope, std::string& blob) {
    unsigned char key[kKeyLen], nonce[kNonceLen], tag[kTagLen];
    if (!ScopeKey(machineScope, key) || RAND_bytes(nonce, sizeof(nonce)) != 1) return false;
    std::string head(reinterpret_cast<const char*>(kBlobHead), sizeof(kBlobHead));
    head.push_back(machineScope ? 'M' : 'U');
    head.append(reinterpret_cast<const char*>(nonce), sizeof(nonce));
    std::string body;
    bool ok = Gcm(true, key, head, plain, body, tag);
    OPENSSL_cleanse(key, sizeof(key));
    if (!ok) return false;
    blob = head + body + std::string(reinterpret_cast<const char*>(tag), sizeof(tag));
    return true;
}

bool osUnprotectData(const std::string& blob, std::string& plain) {
    const size_t headLen = sizeof(kBlobHead) + 1 + kNonceLen;
    if (!osIsProtectedData(blob.data(), blob.size()) || blob.size() < headLen + kTagLen) return false;
    char scope = blob[sizeof(kBlobHead)];
    if (scope != 'M' && scope != 'U') return false;
    unsigned char key[kKeyLen], tag[kTagLen];
    if (!ScopeKey(scope == 'M', key)) return false;
    memcpy(tag, blob.data() + blob.size() - kTagLen, kTagLen);
    bool ok = Gcm(false, key, blob.substr(0, headLen), blob.substr(headLen, blob.size() - headLen - kTagLen),
                  plain, tag);
    OPENSSL_cleanse(key, sizeof(key));
    return ok;
}

bool osIsProtectedData(const void* data, size_t length) {
    return data && length > sizeof(kBlobHead) && memcmp(data, kBlobHead, sizeof(kBlobHead)) == 0;
}
