#include "platform/platMailer.h"

#include "platform/platDebug.h"

#include <curl/curl.h>

#include <cstring>
#include <ctime>

namespace {

struct TUpload {
    const std::string* Data;
    size_t Pos;
};

size_t ReadUpload(char* buffer, size_t size, size_t count, void* user) {
    TUpload* up = static_cast<TUpload*>(user);
    size_t room = size * count;
    size_t left = up->Data->size() - up->Pos;
    size_t n = left < room ? left : room;
    memcpy(buffer, up->Data->data() + up->Pos, n);
    up->Pos += n;
    return n;
}

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    size_t n = strlen(prefix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
    return true;
}

bool HasBreakingChars(const std::string& s) {
    return s.find_first_of("\r\n<>") != std::string::npos;
}

// Base64 in lines of 76 characters, as MIME wants it.
std::string Base64Lines(const std::string& data) {
    static const char abc[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t col = 0;
    for (size_t i = 0; i < data.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < data.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < data.size() ? abc[v & 63] : '=';
        col += 4;
        if (col >= 76) {
            out += "\r\n";
            col = 0;
        }
    }
    if (col) out += "\r\n";
    return out;
}

std::string DateHeader() {
    time_t now = time(nullptr);
    tm t{};
#ifdef _WIN32
    gmtime_s(&t, &now);
#else
    gmtime_r(&now, &t);
#endif
    char text[64];
    strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S +0000", &t);
    return text;
}

} // namespace

bool TPlatMailer::IsUsable(const TPlatMailSettings& settings, std::string* why) {
    const char* problem = nullptr;
    if (settings.URL.empty())
        problem = "no mail URL";
    else if (!StartsWithNoCase(settings.URL, "smtp://") && !StartsWithNoCase(settings.URL, "smtps://"))
        problem = "mail URL is not smtp:// or smtps://";
    else if (settings.MailBox.empty() || HasBreakingChars(settings.MailBox) ||
             settings.MailBox.find('@') == std::string::npos)
        problem = "invalid mailbox";
    else if (HasBreakingChars(settings.UserName))
        problem = "invalid user name";
    if (problem && why) *why = problem;
    return problem == nullptr;
}

bool TPlatMailer::SendHTML(const TPlatMailSettings& settings, const std::string& subject,
                           const std::vector<std::string>& lines, std::string* error) {
    std::string why;
    if (!IsUsable(settings, &why) || subject.find_first_of("\r\n") != std::string::npos) {
        if (error) *error = why.empty() ? "invalid subject" : why;
        return false;
    }
    std::string body;
    for (const std::string& line : lines)
        body += line + "\r\n";
    std::string message = "Date: " + DateHeader() + "\r\n" + "From: <" + settings.MailBox + ">\r\n" +
                          "To: <" + settings.MailBox + ">\r\n" + "Subject: " + subject + "\r\n" +
                          "MIME-Version: 1.0\r\n" + "Content-Type: text/html; charset=windows-1252\r\n" +
                          "Content-Transfer-Encoding: base64\r\n" + "\r\n" + Base64Lines(body);

    CURL* curl = curl_easy_init();
    if (!curl) {
        if (error) *error = "curl_easy_init";
        return false;
    }
    std::string from = "<" + settings.MailBox + ">";
    curl_slist* rcpt = curl_slist_append(nullptr, from.c_str());
    TUpload upload{&message, 0};
    char errorText[CURL_ERROR_SIZE] = {0};

    curl_easy_setopt(curl, CURLOPT_URL, settings.URL.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.ConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, settings.TotalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    // A login needs TLS; without one, STARTTLS is still taken when the server offers it.
    curl_easy_setopt(curl, CURLOPT_USE_SSL,
                     settings.UserName.empty() ? static_cast<long>(CURLUSESSL_TRY)
                                               : static_cast<long>(CURLUSESSL_ALL));
    if (!settings.CAInfo.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, settings.CAInfo.c_str());
    if (!settings.UserName.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, settings.UserName.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, settings.Password.c_str());
    }
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);

    CURLcode rc = rcpt ? curl_easy_perform(curl) : CURLE_OUT_OF_MEMORY;
    if (rc != CURLE_OK) {
        if (error) *error = errorText[0] ? errorText : curl_easy_strerror(rc);
        TRACE(DBERRO_0, "Falha no envio do e-mail, curl=[%d] ERRO=[%s]\n", static_cast<int>(rc),
              errorText[0] ? errorText : curl_easy_strerror(rc));
    }
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK;
}
