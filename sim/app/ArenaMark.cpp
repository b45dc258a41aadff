#include "sim/app/ArenaMark.h"

#include "core/ArenaWindow.h"

#include <QGuiApplication>
#include <QWidget>

#include <xcb/xcb.h>

#include <cstdlib>

ArenaMark::ArenaMark(QWidget &window, const std::string &socketPath)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t *x = x11->connection();
    const auto id = static_cast<xcb_window_t>(window.winId());
    const std::string name = ArenaAtomName(socketPath);
    xcb_intern_atom_reply_t *atom =
        xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, static_cast<uint16_t>(name.size()), name.data()), nullptr);
    xcb_query_tree_reply_t *tree = xcb_query_tree_reply(x, xcb_query_tree(x, id), nullptr);
    if (atom && tree) {
        x_ = x;
        atom_ = atom->atom;
        root_ = tree->root;
        // The window first: whoever reads the root's name finds it confirmed.
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, id, atom_, XCB_ATOM_WINDOW, 32, 1, &id);
        xcb_change_property(x, XCB_PROP_MODE_REPLACE, root_, atom_, XCB_ATOM_WINDOW, 32, 1, &id);
        xcb_flush(x);
    }
    free(atom);
    free(tree);
}

ArenaMark::~ArenaMark()
{
    if (!x_)
        return;
    xcb_delete_property(x_, root_, atom_);
    xcb_flush(x_);
}
