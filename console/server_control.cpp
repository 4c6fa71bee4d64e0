#include "console/server_control.h"

#include "masterlist/announcer.h"
#include "masterlist/master_list.h"
#include "server/lifecycle.h"

void startServer(GameServer& server, bool onlylan) {
    startNetwork(server);
    if (!onlylan) startAnnouncer(server, firstAnnounceStart(kAnnounceSchedule));
}

void stopServer(GameServer& server) {
    stopNetwork(server);
    if (server.masterList) leaveList(server);
}
