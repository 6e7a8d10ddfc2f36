#include "services/http/win_http.h"

#include <mutex>

namespace {

// curl_global_init once for the process, before the first handle.
void GlobalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

bool CWinHttpSession::Open() {
  Close();
  GlobalInit();
  CURLSH* share = curl_share_init();
  if (!share) return false;
  // The agent serialises every use of the session, so the shared data needs no lock
  // callbacks.
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
  curl_share_setopt(share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  handle_ = share;
  return true;
}

void CWinHttpSession::Close() {
  if (handle_ && curl_share_cleanup(handle_) == CURLSHE_OK) handle_ = nullptr;
}

bool CWinHttpConnect::Open() {
  Close();
  GlobalInit();
  handle_ = curl_easy_init();
  return handle_ != nullptr;
}

void CWinHttpConnect::Close() {
  if (handle_) curl_easy_cleanup(handle_);
  handle_ = nullptr;
}

bool CWinHttpRequest::Open(CWinHttpConnect& connection) {
  Close();
  if (!connection.IsOpen()) return false;
  // WinHTTP sends no Accept header unless told to; curl's default one is removed.
  curl_slist* headers = curl_slist_append(nullptr, "Accept:");
  if (!headers) return false;
  headers_ = headers;
  handle_ = connection.Handle();
  return true;
}

void CWinHttpRequest::Close() {
  if (headers_) curl_slist_free_all(headers_);
  headers_ = nullptr;
  handle_ = nullptr;
}
