#include "testcrate/ControlSocketSource.h"

#include <algorithm>
#include <utility>

namespace {

GSourceFuncs functions;

}  // namespace

ControlSocketSource::ControlSocketSource(ControlSocket& socket, ControlSocket::Answer answer)
    : socket(socket), answer(std::move(answer)) {
    functions.prepare = &ControlSocketSource::prepare;
    functions.check = &ControlSocketSource::check;
    functions.dispatch = &ControlSocketSource::dispatch;
    source = g_source_new(&functions, sizeof(Source));
    reinterpret_cast<Source*>(source)->owner = this;
    g_source_attach(source, nullptr);
}

ControlSocketSource::~ControlSocketSource() {
    g_source_destroy(source);
    g_source_unref(source);
}

void ControlSocketSource::follow_entries() {
    std::vector<pollfd> wanted;
    socket.add_poll_entries(wanted);
    const bool same = std::equal(
        wanted.begin(), wanted.end(), entries.begin(), entries.end(),
        [](const pollfd& a, const pollfd& b) { return a.fd == b.fd && a.events == b.events; });
    if (same) return;
    for (gpointer tag : tags) g_source_remove_unix_fd(source, tag);
    tags.clear();
    entries = std::move(wanted);
    for (const pollfd& entry : entries) {
        // The poll flags are GLib's conditions on this system.
        const auto condition = static_cast<GIOCondition>(entry.events | G_IO_HUP | G_IO_ERR);
        tags.push_back(g_source_add_unix_fd(source, entry.fd, condition));
    }
}

gboolean ControlSocketSource::prepare(GSource* source, gint* timeout) {
    reinterpret_cast<Source*>(source)->owner->follow_entries();
    *timeout = -1;
    return FALSE;
}

gboolean ControlSocketSource::check(GSource* source) {
    ControlSocketSource& self = *reinterpret_cast<Source*>(source)->owner;
    bool ready = false;
    for (size_t i = 0; i < self.tags.size(); ++i) {
        self.entries[i].revents = static_cast<short>(g_source_query_unix_fd(source, self.tags[i]));
        ready = ready || self.entries[i].revents != 0;
    }
    return ready ? TRUE : FALSE;
}

gboolean ControlSocketSource::dispatch(GSource* source, GSourceFunc, gpointer) {
    ControlSocketSource& self = *reinterpret_cast<Source*>(source)->owner;
    self.socket.serve(self.entries, self.answer);
    return TRUE;
}
