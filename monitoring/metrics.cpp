#include "monitoring/metrics.h"

#include <cstdarg>
#include <cstdio>

#include "masterlist/master_list.h"
#include "server/release.h"
#include "streams/output.h"

namespace {

// Appends to a fixed buffer; once something does not fit, every later
// append is refused too and the page counts as failed.
struct Page {
    char* buf;
    std::size_t size;
    std::size_t len;
    bool full;
};

void add(Page& p, const char* format, ...) {
    if (p.full) return;
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(p.buf + p.len, p.size - p.len, format, args);
    va_end(args);
    if (n < 0 || static_cast<std::size_t>(n) >= p.size - p.len) {
        p.full = true;
        return;
    }
    p.len += static_cast<std::size_t>(n);
}

void header(Page& p, const char* name, const char* type, const char* help) {
    add(p, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

void gauge(Page& p, const char* name, const char* help, long long value) {
    header(p, name, "gauge", help);
    add(p, "%s %lld\n", name, value);
}

void counter(Page& p, const char* name, const char* help, std::uint64_t value) {
    header(p, name, "counter", help);
    add(p, "%s %llu\n", name, static_cast<unsigned long long>(value));
}

struct Labelled {
    const char* label;
    Counter which;
};

// One counter with a sample per label value.
template <std::size_t N>
void labelledCounter(Page& p, const MetricsSnapshot& s, const char* name, const char* labelName, const char* help,
                     const Labelled (&values)[N]) {
    header(p, name, "counter", help);
    for (const auto& v : values)
        add(p, "%s{%s=\"%s\"} %llu\n", name, labelName, v.label,
            static_cast<unsigned long long>(s.counters[static_cast<std::size_t>(v.which)]));
}

std::uint64_t of(const MetricsSnapshot& s, Counter which) { return s.counters[static_cast<std::size_t>(which)]; }

// A label value with its backslashes, quotes and line ends escaped.
void addLabelValue(Page& p, const char* text) {
    for (const char* c = text; *c != 0; ++c) {
        if (*c == '\\')
            add(p, "\\\\");
        else if (*c == '"')
            add(p, "\\\"");
        else if (*c == '\n')
            add(p, "\\n");
        else
            add(p, "%c", *c);
    }
}

}  // namespace

void takeMetricsSnapshot(GameServer& server, long long nowMs, MetricsSnapshot& s) {
    for (std::size_t i = 0; i < kCounterCount; ++i) s.counters[i] = countOf(server.counters, static_cast<Counter>(i));
    s.players = server.playerCount.load();
    s.connections = server.connectionCount.load();
    s.maxPlayers = server.maxPlayers.load();
    s.songRunning = server.songRunningSeen.load() != 0 ? 1 : 0;
    s.listRegistered = server.masterList != nullptr && server.masterList->registered.load() != 0 ? 1 : 0;
    s.draining = server.draining.load() != 0 ? 1 : 0;
    long long left = server.drainEndsAtMs.load() - nowMs;
    s.drainRemainingSeconds = s.draining != 0 && left > 0 ? static_cast<double>(left) / 1000.0 : 0.0;
    s.consoleLinesDropped = outputLinesDroppedTotal();
    s.startTimeSeconds = server.startedAtSeconds.load();
    readProcessStats(s.process);
    s.release = serverRelease();
}

std::size_t renderMetrics(const MetricsSnapshot& s, char* buf, std::size_t size) {
    Page p{buf, size, 0, size == 0};
    gauge(p, "gameserver_players", "Players logged in.", s.players);
    gauge(p, "gameserver_connections", "Connections open, logged in or not.", s.connections);
    gauge(p, "gameserver_max_players", "Players the server admits at most.", s.maxPlayers);
    labelledCounter(p, s, "gameserver_logins_total", "result", "Logins answered, by their result.",
                    {{"accepted", Counter::LoginsAccepted},
                     {"version", Counter::LoginsVersionDiffers},
                     {"password", Counter::LoginsWrongPassword},
                     {"full", Counter::LoginsServerFull}});
    counter(p, "gameserver_connections_accepted_total", "Connections accepted.", of(s, Counter::ConnectionsAccepted));
    labelledCounter(p, s, "gameserver_disconnects_total", "cause", "Connections closed, by their cause.",
                    {{"closed_by_client", Counter::DisconnectsClosedByClient},
                     {"error", Counter::DisconnectsError},
                     {"refused", Counter::DisconnectsRefused},
                     {"kicked", Counter::DisconnectsKicked},
                     {"login_timeout", Counter::DisconnectsLoginTimeout},
                     {"stop", Counter::DisconnectsStop}});
    counter(p, "gameserver_frames_received_total", "Frames received from clients.", of(s, Counter::FramesReceived));
    counter(p, "gameserver_frames_relayed_total", "Frame copies queued for other clients.",
            of(s, Counter::FramesRelayed));
    counter(p, "gameserver_frames_dropped_total", "Frame copies dropped on a full send buffer.",
            of(s, Counter::FramesDropped));
    counter(p, "gameserver_received_bytes_total", "Bytes received from clients.", of(s, Counter::BytesReceived));
    counter(p, "gameserver_sent_bytes_total", "Bytes sent to clients.", of(s, Counter::BytesSent));
    counter(p, "gameserver_songs_started_total", "Songs started.", of(s, Counter::SongsStarted));
    gauge(p, "gameserver_song_running", "Whether a song runs (1) or not (0).", s.songRunning);
    gauge(p, "gameserver_list_registered", "Whether the server is listed on the internet server list (1) or not (0).",
          s.listRegistered);
    labelledCounter(p, s, "gameserver_list_requests_total", "result",
                    "Requests to the internet server list, by result.",
                    {{"succeeded", Counter::ListRequestsSucceeded}, {"failed", Counter::ListRequestsFailed}});
    labelledCounter(p, s, "gameserver_upgrades_total", "outcome", "Upgrades in place, by outcome.",
                    {{"upgraded", Counter::UpgradesDone},
                     {"failed_check", Counter::UpgradesFailedCheck},
                     {"handed_back", Counter::UpgradesHandedBack}});
    counter(p, "gameserver_console_lines_dropped_total", "Console lines dropped on a full output queue.",
            s.consoleLinesDropped);
    gauge(p, "gameserver_draining", "Whether a draining stop is under way (1) or not (0).", s.draining);
    header(p, "gameserver_drain_remaining_seconds", "gauge", "Seconds left of a draining stop; 0 when not draining.");
    add(p, "gameserver_drain_remaining_seconds %.3f\n", s.drainRemainingSeconds);
    header(p, "gameserver_info", "gauge", "The server's release, as a label; always 1.");
    add(p, "gameserver_info{release=\"");
    addLabelValue(p, s.release);
    add(p, "\"} 1\n");

    header(p, "process_start_time_seconds", "gauge", "Start time of the process since the epoch in seconds.");
    add(p, "process_start_time_seconds %.3f\n", s.startTimeSeconds);
    if (s.process.cpuSeconds >= 0) {
        header(p, "process_cpu_seconds_total", "counter", "Total user and system CPU time spent in seconds.");
        add(p, "process_cpu_seconds_total %.3f\n", s.process.cpuSeconds);
    }
    if (s.process.residentBytes >= 0)
        gauge(p, "process_resident_memory_bytes", "Resident memory size in bytes.", s.process.residentBytes);
    if (s.process.openFds >= 0) gauge(p, "process_open_fds", "Number of open file descriptors.", s.process.openFds);
    if (s.process.maxFds >= 0)
        gauge(p, "process_max_fds", "Maximum number of open file descriptors.", s.process.maxFds);
    return p.full ? 0 : p.len;
}
