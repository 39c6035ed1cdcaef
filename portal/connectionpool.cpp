#include "portal/connectionpool.h"

#include <utility>

CurlShare::CurlShare() {
  share_ = curl_share_init();
  if (!share_) return;
  curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlShare::Lock);
  curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlShare::Unlock);
  curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
  curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
}

CurlShare::~CurlShare() {
  if (share_) curl_share_cleanup(share_);
}

void CurlShare::Lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<CurlShare*>(self)->locks_[data].lock();
}

void CurlShare::Unlock(CURL*, curl_lock_data data, void* self) {
  if (data >= 0 && data < CURL_LOCK_DATA_LAST) static_cast<CurlShare*>(self)->locks_[data].unlock();
}

ConnectionPool::ConnectionPool(int maxIdle) : maxIdle_(maxIdle > 0 ? maxIdle : 1) {}

ConnectionPool::~ConnectionPool() {
  // Handles before the share they are attached to.
  idle_.clear();
  share_.reset();
}

ConnectionPool::Lease ConnectionPool::Take(const QByteArray& identityKey) {
  Lease lease;
  std::vector<CurlEasyPtr> stale;  // closed outside the lock: closing may write to the network
  std::shared_ptr<CurlShare> oldShare;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!share_ || identityKey != key_) {
      stale.swap(idle_);
      oldShare = std::move(share_);
      share_ = std::make_shared<CurlShare>();
      key_ = identityKey;
      ++generation_;
    }
    if (!idle_.empty()) {
      lease.handle = std::move(idle_.back());
      idle_.pop_back();
    }
    lease.share = share_;
    lease.generation = generation_;
  }
  stale.clear();
  oldShare.reset();
  if (!lease.handle) lease.handle.reset(curl_easy_init());
  return lease;
}

void ConnectionPool::Return(Lease lease) {
  CurlEasyPtr dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lease.handle || lease.generation != generation_) {
      dropped = std::move(lease.handle);
    } else {
      idle_.push_back(std::move(lease.handle));
      if (int(idle_.size()) > maxIdle_) {
        dropped = std::move(idle_.front());
        idle_.erase(idle_.begin());
      }
    }
  }
  dropped.reset();  // before the lease's share goes
}

int ConnectionPool::IdleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return int(idle_.size());
}
