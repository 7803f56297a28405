// Connection_Main: the receiver that registers itself with a link manager for its lifetime.
#include "link/connection.h"

Connection_Main::Connection_Main(ConBase& link) : Manager(link) {
    Manager.Register(this);
}

Connection_Main::~Connection_Main() {
    Detach();
}

void Connection_Main::Detach() {
    if (!Attached)
        return;
    Attached = false;
    Manager.Unregister(this);
}
