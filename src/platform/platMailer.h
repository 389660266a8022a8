#pragma once

#include <string>
#include <vector>

// Where and how a report mail goes. Nothing of it is built into the library: it comes from the
// registry group "Report".
struct TPlatMailSettings {
    std::string URL;      // smtp://host[:port] (STARTTLS when offered) or smtps://host[:port]
    std::string MailBox;  // sender and recipient
    std::string UserName; // empty: no login
    std::string Password;
    std::string CAInfo; // CA bundle for the server's certificate; empty: the system's
    long ConnectTimeoutMs = 3000;
    long TotalTimeoutMs = 8000;
};

// One HTML mail over SMTP (libcurl). With a user name the connection must be TLS (smtps, or STARTTLS
// required), so the password never travels in clear; without one STARTTLS is used when the server offers
// it. Never throws.
class TPlatMailer {
  public:
    // Sends the lines (joined by CRLF) as a text/html body; true when the server accepted the mail.
    static bool SendHTML(const TPlatMailSettings& settings, const std::string& subject,
                         const std::vector<std::string>& lines, std::string* error);

    // The settings are usable: an smtp/smtps URL and a mailbox without line breaks or angle brackets.
    static bool IsUsable(const TPlatMailSettings& settings, std::string* why);
};
