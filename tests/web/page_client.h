// A client of the web page for tests, over real HTTP on loopback: it keeps
// the session cookie as a browser would, reads the form token from the last
// page, and sends forms with the Origin a browser sends from the page.
#pragma once

#include <httplib.h>

#include <regex>
#include <string>

class PageClient {
  public:
    explicit PageClient(int port) : port_(port), client_("127.0.0.1", port) {
        client_.set_connection_timeout(5);
        client_.set_read_timeout(20);
    }

    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // GET with the session cookie (when there is one) and `headers`.
    httplib::Result Get(const std::string& path, httplib::Headers headers = {}) {
        AddCookie(headers);
        httplib::Result result = client_.Get(path.c_str(), headers);
        Remember(result);
        return result;
    }

    // POST of a URL-encoded form with the cookie, the page's Origin (unless
    // `headers` name one) and `headers`.
    httplib::Result Post(const std::string& path, const httplib::Params& fields,
                         httplib::Headers headers = {}) {
        return Send(path, fields, std::move(headers));
    }

    // The same as a multipart form, as the page's text areas send it.
    httplib::Result PostMultipart(const std::string& path,
                                  const httplib::MultipartFormDataItems& items,
                                  httplib::Headers headers = {}) {
        return Send(path, items, std::move(headers));
    }

    // The form token on the last page fetched, "" when it had none.
    const std::string& token() const { return token_; }
    // "name=value" of the session cookie, "" before the page set one.
    const std::string& cookie() const { return cookie_; }
    void set_cookie(const std::string& cookie) { cookie_ = cookie; }

  private:
    template <typename Form>
    httplib::Result Send(const std::string& path, const Form& form, httplib::Headers headers) {
        AddCookie(headers);
        if (headers.find("Origin") == headers.end()) headers.emplace("Origin", Origin());
        httplib::Result result = client_.Post(path.c_str(), headers, form);
        Remember(result);
        return result;
    }

    void AddCookie(httplib::Headers& headers) const {
        if (!cookie_.empty() && headers.find("Cookie") == headers.end()) {
            headers.emplace("Cookie", cookie_);
        }
    }

    void Remember(const httplib::Result& result) {
        if (!result) return;
        std::string set = result->get_header_value("Set-Cookie");
        if (!set.empty()) cookie_ = set.substr(0, set.find(';'));
        std::smatch match;
        static const std::regex tokenField("name=\"token\" value=\"([0-9a-f]+)\"");
        if (std::regex_search(result->body, match, tokenField)) token_ = match[1];
    }

    int port_;
    httplib::Client client_;
    std::string cookie_;
    std::string token_;
};
