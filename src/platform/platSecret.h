// Secrets at rest in the registry: the access token (REG_BINARY, user scope) and the passwords of the
// machine's settings (REG_SZ, machine scope). Values stored as plain text by earlier versions, or by
// an administrator, are still read.
#pragma once

#include <string>

// Text of a secret, wiped when it goes.
struct TPlatSecretText {
    TPlatSecretText() = default;
    TPlatSecretText(const TPlatSecretText&) = delete;
    TPlatSecretText& operator=(const TPlatSecretText&) = delete;
    ~TPlatSecretText();
    std::string Text;
};

// REG_SZ form of a protected secret: this prefix, then the blob in Base64.
#define LU_SECRET_TEXT_PREFIX "dpapi:"

// The blob of a secret; false when the system refused.
bool platProtectSecret(const std::string& plain, bool machineScope, std::string& blob);
// A stored value: a blob is unprotected, anything else is plaintext of earlier versions and taken as it
// is. False only for a blob that cannot be unprotected (another user's, another machine's, damaged).
bool platRevealSecret(const std::string& stored, std::string& plain);

// The same for text settings.
bool platProtectSecretText(const std::string& plain, std::string& text);
bool platRevealSecretText(const char* stored, std::string& plain);
bool platIsProtectedText(const char* stored);

// Whether a value of the machine's settings is a secret that is stored protected: MailPassword when set,
// CNX_Proxy when it carries credentials (user:password@).
bool platIsMachineSecret(const char* name, const std::string& value);
// Stores the machine's secrets that are still plain text (written by hand, by an installer property,
// by earlier versions) in the protected form, as "lucsp config set" writes them; protected, empty and
// credential-free values stay as they are, so running it again changes nothing. False when a secret
// could not be protected or written back (it stays as it was, and is still read).
bool platProtectMachineSecrets();
