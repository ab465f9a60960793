// How work handed from another thread finds out whether the object it is for
// still exists. The object keeps a TOwnerLink as a member; work captures the
// link's Weak() handle (cheap to copy) instead of `this` and asks Get() when it
// runs:
//
//   PostToMainThread([owner = link_.Weak()] {
//     if (TSession* self = owner.Get()) self->Done();
//   });
//
// Get() is null once the link is cut (Cut, or the owner's destructor).
//
// Threads: Weak() from any thread. Get() only on the thread that destroys the
// owner (the main thread here): the handle says the owner was alive when Get
// returned, and only that thread can keep it so until the work is done.
#pragma once

#include <memory>

namespace kelvane {

template <typename TOwner>
class TWeakOwner {
 public:
  TWeakOwner() = default;
  TOwner* Get() const {
    std::shared_ptr<TOwner* const> owner = owner_.lock();
    return owner ? *owner : nullptr;
  }

 private:
  template <typename>
  friend class TOwnerLink;
  explicit TWeakOwner(std::weak_ptr<TOwner* const> owner) : owner_(std::move(owner)) {}
  std::weak_ptr<TOwner* const> owner_;
};

template <typename TOwner>
class TOwnerLink {
 public:
  explicit TOwnerLink(TOwner* owner) : owner_(std::make_shared<TOwner* const>(owner)) {}
  TOwnerLink(const TOwnerLink&) = delete;
  TOwnerLink& operator=(const TOwnerLink&) = delete;

  TWeakOwner<TOwner> Weak() const { return TWeakOwner<TOwner>(owner_); }
  // From now on every handle's Get() is null (the owner is going away).
  void Cut() { owner_.reset(); }

 private:
  std::shared_ptr<TOwner* const> owner_;
};

}  // namespace kelvane
