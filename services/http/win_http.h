// The handles of the HTTP agent, on libcurl:
//   CWinHttpSession  the session: DNS cache and TLS sessions shared by its connections
//                    (a curl share handle), opened once by the agent;
//   CWinHttpConnect  the connection to one host and port: a curl easy handle, whose
//                    connection cache keeps the open TCP/TLS connection for reuse;
//                    closing it closes the connection;
//   CWinHttpRequest  one request on a connection, alive for one Get or Download call.
#pragma once

#include <curl/curl.h>

#include <string>

// One handle; closed by Close or by the destructor.
class CWinHttp {
 public:
  virtual ~CWinHttp() = default;
  CWinHttp(const CWinHttp&) = delete;
  CWinHttp& operator=(const CWinHttp&) = delete;

  bool IsOpen() const { return handle_ != nullptr; }

 protected:
  CWinHttp() = default;
  void* handle_ = nullptr;
};

class CWinHttpSession : public CWinHttp {
 public:
  CWinHttpSession() = default;
  ~CWinHttpSession() override { Close(); }
  bool Open();
  void Close();
  CURLSH* Handle() const { return handle_; }
};

class CWinHttpConnect : public CWinHttp {
 public:
  CWinHttpConnect() = default;
  ~CWinHttpConnect() override { Close(); }
  bool Open();
  void Close();
  CURL* Handle() const { return handle_; }
};

class CWinHttpRequest : public CWinHttp {
 public:
  CWinHttpRequest() = default;
  ~CWinHttpRequest() override { Close(); }
  // Binds the request to the connection's handle (not owned) with its own header list.
  bool Open(CWinHttpConnect& connection);
  void Close();
  CURL* Handle() const { return handle_; }
  curl_slist* Headers() const { return headers_; }

  std::string url;    // the URL that is sent (scheme, host, port, path)
  std::string proxy;  // the proxy used, empty when direct

 private:
  curl_slist* headers_ = nullptr;
};
