// The notification path of the link: the receiver that learns of every record queued
// by the link manager, and the main receiver that registers itself with a manager.
#pragma once

#include "link/conbase.h"

class Connection {
public:
    virtual ~Connection() = default;
    // Called by the manager after each record it queued, in the thread that queued it.
    virtual void Notify(int handle) { OnNotify(handle); }
    // Supplied by the receiver; should only hand the work to its own thread.
    virtual void OnNotify(int handle) = 0;
};

// Registers itself as the manager's pConnection for its lifetime; there is one per
// manager, and it goes before its manager. Nothing may be queued while a derived receiver
// is still being constructed (the program opens devices only once its window exists). A
// derived receiver whose OnNotify uses its own members calls Detach () first in its
// destructor, so no notification reaches a half-destroyed object.
class Connection_Main : public Connection {
public:
    explicit Connection_Main(ConBase& link = TheConBase());
    ~Connection_Main() override;
    Connection_Main(const Connection_Main&) = delete;
    Connection_Main& operator=(const Connection_Main&) = delete;

    // Stops notifications; waits for one in progress in another thread. Idempotent.
    void Detach();
    ConBase& Link() { return Manager; }

private:
    ConBase& Manager;
    bool Attached = true;
};
