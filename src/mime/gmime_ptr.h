// RAII for the GLib/GMime objects the importer touches: owned GObjects in a unique_ptr that
// calls g_object_unref, g_free'd strings, and a guard that frees a GError. Internal to
// convert/mime/: nothing GLib-typed crosses the folder's public headers.
#pragma once

#include <glib-object.h>
#include <glib.h>

#include <memory>

namespace mime {

struct GObjectUnref {
  void operator()(void* object) const {
    if (object != nullptr) g_object_unref(object);
  }
};

// Holds one reference of an owned GObject (transfer full). Never wrap a borrowed pointer.
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

struct GFreeDeleter {
  void operator()(void* p) const { g_free(p); }
};

// A newly allocated GLib string.
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

// Frees the GError a call may set; pass out() as the GError** argument.
class GErrorGuard {
 public:
  GErrorGuard() = default;
  GErrorGuard(const GErrorGuard&) = delete;
  GErrorGuard& operator=(const GErrorGuard&) = delete;
  ~GErrorGuard() {
    if (error_ != nullptr) g_error_free(error_);
  }
  GError** out() { return &error_; }
  const GError* get() const { return error_; }
  explicit operator bool() const { return error_ != nullptr; }

 private:
  GError* error_ = nullptr;
};

}  // namespace mime
