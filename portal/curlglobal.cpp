#include "portal/curlglobal.h"

#include <curl/curl.h>

CurlGlobal::CurlGlobal() : ok_(curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK) {}

CurlGlobal::~CurlGlobal() {
  if (ok_) curl_global_cleanup();
}
