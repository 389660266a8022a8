// A real SMTP server on loopback for a test: aiosmtpd (Debian's python3-aiosmtpd) running
// tests/support/smtpSink.py, which writes every accepted mail to a directory.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class TSmtpSink {
  public:
    // options: --cert FILE --key FILE, --starttls, --smtps, --auth USER:PASSWORD, --auth-in-clear.
    TSmtpSink(const std::string& dir, const std::vector<std::string>& options);
    ~TSmtpSink();
    TSmtpSink(const TSmtpSink&) = delete;
    TSmtpSink& operator=(const TSmtpSink&) = delete;

    // The messages received so far, in order, as the server got them.
    std::vector<std::string> Mails() const;
    // Envelope, TLS state and login of message n (from 1), as JSON.
    std::string Meta(int n) const;
    // One line per login attempt: "<mechanism> <user> tls=<0|1> ok=<0|1>".
    std::string AuthLog() const;

    std::string Dir;
    int Port;

  private:
    pid_t Pid;
    int Output;
};

// A loopback TCP port that was free a moment ago.
int FreeLoopbackPort();

// Helpers to read a received mail: a header's value, and the lines of the Base64 body.
std::string MailHeader(const std::string& mail, const std::string& name);
std::vector<std::string> MailBodyLines(const std::string& mail);
