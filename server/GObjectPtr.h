// Sole ownership of one reference to a GObject (a GSocket, a GSocketAddress...): the reference
// is dropped when the holder is reset or goes away, on every path.
#pragma once

#include <glib-object.h>

#include <memory>

struct GObjectUnref {
    void operator()(gpointer object) const { g_object_unref(object); }
};

template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;
