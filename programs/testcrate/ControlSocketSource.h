// A control socket served from the GLib main loop: a source that polls the socket's descriptors
// (taken again on each turn, as clients come and go) and serves what is ready.
#pragma once

#include <glib.h>
#include <poll.h>

#include <vector>

#include "support/ControlSocket.h"

class ControlSocketSource {
  public:
    // Attaches the source to the default main context; `socket` must be open and outlive it.
    ControlSocketSource(ControlSocket& socket, ControlSocket::Answer answer);
    ~ControlSocketSource();
    ControlSocketSource(const ControlSocketSource&) = delete;
    ControlSocketSource& operator=(const ControlSocketSource&) = delete;

  private:
    struct Source {
        GSource base;
        ControlSocketSource* owner;
    };

    static gboolean prepare(GSource* source, gint* timeout);
    static gboolean check(GSource* source);
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer);
    // Polls what the socket waits for now, if that changed.
    void follow_entries();

    ControlSocket& socket;
    ControlSocket::Answer answer;
    GSource* source = nullptr;
    std::vector<pollfd> entries;
    std::vector<gpointer> tags;
};
