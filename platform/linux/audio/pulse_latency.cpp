#include "platform/linux/audio/pulse_latency.h"

#include <pulse/pulseaudio.h>

#include <memory>

namespace clavio::platform {

namespace {

// What the callbacks fill; `pending` counts the answers still awaited.
struct Query {
    pid_t pid = 0;
    int pending = 0;
    bool found = false;
    std::uint32_t sinkIndex = PA_INVALID_INDEX;
    PulseStreamLatency result;
};

void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
    auto* q = static_cast<Query*>(userdata);
    if (info) {
        q->result.server = std::string(info->server_name ? info->server_name : "?") + " " +
                           (info->server_version ? info->server_version : "?");
    }
    --q->pending;
}

void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) {
    auto* q = static_cast<Query*>(userdata);
    if (eol) {
        --q->pending;
        return;
    }
    if (!info || q->found) {
        return;
    }
    const char* pid = pa_proplist_gets(info->proplist, PA_PROP_APPLICATION_PROCESS_ID);
    if (pid && std::to_string(q->pid) == pid) {
        q->found = true;
        q->sinkIndex = info->sink;
        q->result.bufferMs = double(info->buffer_usec) * 1e-3;
        q->result.sinkMs = double(info->sink_usec) * 1e-3;
    }
}

void onSink(pa_context*, const pa_sink_info* info, int eol, void* userdata) {
    auto* q = static_cast<Query*>(userdata);
    if (eol) {
        --q->pending;
        return;
    }
    if (info) {
        q->result.sink = info->name ? info->name : "";
        q->result.configuredMs = double(info->configured_latency) * 1e-3;
    }
}

struct MainloopDeleter {
    void operator()(pa_mainloop* m) const { pa_mainloop_free(m); }
};
struct ContextDeleter {
    void operator()(pa_context* c) const {
        pa_context_disconnect(c);
        pa_context_unref(c);
    }
};

} // namespace

std::optional<PulseStreamLatency>
queryPulseStreamLatency(pid_t pid, std::chrono::milliseconds timeout, std::string& error) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_ptr<pa_mainloop, MainloopDeleter> loop(pa_mainloop_new());
    if (!loop) {
        error = "cannot make a PulseAudio main loop";
        return std::nullopt;
    }
    std::unique_ptr<pa_context, ContextDeleter> context(
        pa_context_new(pa_mainloop_get_api(loop.get()), "Clavio latency query"));
    if (!context) {
        error = "cannot make a PulseAudio context";
        return std::nullopt;
    }
    if (pa_context_connect(context.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        error =
            std::string("no PulseAudio server: ") + pa_strerror(pa_context_errno(context.get()));
        return std::nullopt;
    }
    // Runs the loop until `done` or the deadline; false on time-out or a
    // broken connection (error set).
    const auto run = [&](auto done) {
        while (!done()) {
            const pa_context_state_t state = pa_context_get_state(context.get());
            if (!PA_CONTEXT_IS_GOOD(state)) {
                error = std::string("no PulseAudio server: ") +
                        pa_strerror(pa_context_errno(context.get()));
                return false;
            }
            const auto left = std::chrono::duration_cast<std::chrono::microseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                error = "the PulseAudio server did not answer within " +
                        std::to_string(timeout.count()) + " ms";
                return false;
            }
            if (pa_mainloop_prepare(loop.get(), int(left.count())) < 0 ||
                pa_mainloop_poll(loop.get()) < 0 || pa_mainloop_dispatch(loop.get()) < 0) {
                error = "the PulseAudio main loop failed";
                return false;
            }
        }
        return true;
    };
    if (!run([&] { return pa_context_get_state(context.get()) == PA_CONTEXT_READY; })) {
        return std::nullopt;
    }
    Query q;
    q.pid = pid;
    const auto ask = [&](pa_operation* op) {
        if (op) {
            ++q.pending;
            pa_operation_unref(op);
        }
        return op != nullptr;
    };
    if (!ask(pa_context_get_server_info(context.get(), &onServerInfo, &q)) ||
        !ask(pa_context_get_sink_input_info_list(context.get(), &onSinkInput, &q)) ||
        !run([&] { return q.pending == 0; })) {
        if (error.empty()) {
            error = "the PulseAudio server refused the question";
        }
        return std::nullopt;
    }
    if (!q.found) {
        error = "the sound server " + q.result.server + " plays no stream of process " +
                std::to_string(pid);
        return std::nullopt;
    }
    // PipeWire's PulseAudio server (0.3.65) lists its streams with nothing
    // queued and a sink without latency: that states nothing.
    if (q.result.bufferMs == 0.0 && q.result.sinkMs == 0.0) {
        error = "the sound server " + q.result.server + " states no latency for the stream";
        return std::nullopt;
    }
    if (!ask(pa_context_get_sink_info_by_index(context.get(), q.sinkIndex, &onSink, &q)) ||
        !run([&] { return q.pending == 0; })) {
        if (error.empty()) {
            error = "the PulseAudio server refused the question";
        }
        return std::nullopt;
    }
    return q.result;
}

} // namespace clavio::platform
