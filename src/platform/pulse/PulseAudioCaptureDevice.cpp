#include "platform/pulse/PulseAudioCaptureDevice.h"

#include "dictation/AppLog.h"

#include <pulse/pulseaudio.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr int connectTimeoutMs = 5000;
constexpr int requestTimeoutMs = 5000;

QString quoted(const char* name) {
    return QLatin1Char('"') + QString::fromUtf8(name ? name : "") + QLatin1Char('"');
}

} // namespace

// One connection to the server: its main loop thread, context and (at most one) record stream.
// Everything below except the constructor and destructor runs with the main loop locked, either on
// the caller's thread or, for the static callbacks, on the main loop thread.
struct PulseAudioCaptureDevice::Connection {
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
    StreamCallbacks callbacks;
    bool delivering = false; // the stream is open and its changes are reported
    bool timedOut = false;
    uint32_t sourceIndex = PA_INVALID_INDEX;
    QString sourceName;
    std::vector<float> samples;

    // Filled by the one-shot requests.
    QString defaultSourceName;
    bool sourceFound = false;
    pa_sample_spec sourceSpec{};

    Connection() { mainloop = pa_threaded_mainloop_new(); }

    ~Connection() {
        if (!mainloop)
            return;
        pa_threaded_mainloop_lock(mainloop);
        closeStream();
        if (context) {
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_threaded_mainloop_unlock(mainloop);
        // Outside the lock: stopping joins the main loop thread.
        pa_threaded_mainloop_stop(mainloop);
        pa_threaded_mainloop_free(mainloop);
    }

    void lock() { pa_threaded_mainloop_lock(mainloop); }
    void unlock() { pa_threaded_mainloop_unlock(mainloop); }
    void signal() { pa_threaded_mainloop_signal(mainloop, 0); }

    QString lastError() const {
        return context ? QString::fromUtf8(pa_strerror(pa_context_errno(context)))
                       : QStringLiteral("no connection");
    }

    static void onTimeout(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        self->timedOut = true;
        self->signal();
    }

    // Waits (main loop locked) until done() holds or the time is up; true when done() holds.
    template <typename Done> bool waitUntil(Done done, int timeoutMs) {
        timedOut = false;
        pa_mainloop_api* api = pa_threaded_mainloop_get_api(mainloop);
        struct timeval deadline;
        pa_gettimeofday(&deadline);
        pa_timeval_add(&deadline, static_cast<pa_usec_t>(timeoutMs) * PA_USEC_PER_MSEC);
        pa_time_event* timer = api->time_new(api, &deadline, &Connection::onTimeout, this);
        while (!done() && !timedOut)
            pa_threaded_mainloop_wait(mainloop);
        api->time_free(timer);
        return done();
    }

    // Runs one request to completion; false when it failed, was cancelled or took too long.
    bool finish(pa_operation* operation) {
        if (!operation)
            return false;
        pa_operation_set_state_callback(
            operation, [](pa_operation*, void* userdata) { static_cast<Connection*>(userdata)->signal(); },
            this);
        const bool done =
            waitUntil([operation] { return pa_operation_get_state(operation) != PA_OPERATION_RUNNING; },
                      requestTimeoutMs);
        const bool succeeded = done && pa_operation_get_state(operation) == PA_OPERATION_DONE;
        if (!done)
            pa_operation_cancel(operation);
        pa_operation_set_state_callback(operation, nullptr, nullptr);
        pa_operation_unref(operation);
        return succeeded;
    }

    bool connect(const QString& serverAddress, QString& error) {
        if (!mainloop) {
            error = QStringLiteral("could not create the main loop");
            return false;
        }
        if (pa_threaded_mainloop_start(mainloop) < 0) {
            error = QStringLiteral("could not start the main loop");
            return false;
        }
        lock();
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Voxlet");
        pa_proplist_sets(properties, PA_PROP_APPLICATION_ID, "com.voxlet.Voxlet");
        context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop), "Voxlet", properties);
        pa_proplist_free(properties);
        if (!context) {
            unlock();
            error = QStringLiteral("could not create a context");
            return false;
        }
        pa_context_set_state_callback(context, &Connection::onContextState, this);
        const QByteArray server = serverAddress.toUtf8();
        if (pa_context_connect(context, server.isEmpty() ? nullptr : server.constData(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            error = lastError();
            unlock();
            return false;
        }
        const bool ready = waitUntil(
            [this] {
                const pa_context_state_t state = pa_context_get_state(context);
                return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
            },
            connectTimeoutMs);
        const bool connected = ready && pa_context_get_state(context) == PA_CONTEXT_READY;
        if (!connected)
            error = ready ? lastError() : QStringLiteral("timed out");
        unlock();
        return connected;
    }

    void closeStream() {
        delivering = false;
        callbacks = {};
        if (!stream)
            return;
        pa_stream_set_state_callback(stream, nullptr, nullptr);
        pa_stream_set_read_callback(stream, nullptr, nullptr);
        pa_stream_set_moved_callback(stream, nullptr, nullptr);
        pa_stream_disconnect(stream);
        pa_stream_unref(stream);
        stream = nullptr;
        sourceIndex = PA_INVALID_INDEX;
        sourceName.clear();
    }

    void reportChange(const QString& what) {
        if (!delivering)
            return;
        appLog(QStringLiteral("PulseAudioCaptureDevice: ") + what);
        if (callbacks.onConfigurationChanged)
            callbacks.onConfigurationChanged();
    }

    void noteCurrentSource() {
        sourceIndex = pa_stream_get_device_index(stream);
        sourceName = QString::fromUtf8(pa_stream_get_device_name(stream));
    }

    static void onContextState(pa_context* context, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(context)))
            self->reportChange(QStringLiteral("Connection to the sound server lost: ") + self->lastError());
        self->signal();
    }

    static void onStreamState(pa_stream* stream, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!PA_STREAM_IS_GOOD(pa_stream_get_state(stream)))
            self->reportChange(QStringLiteral("Capture stream ended: ") + self->lastError());
        self->signal();
    }

    static void onStreamMoved(pa_stream* stream, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        self->noteCurrentSource();
        self->reportChange(QStringLiteral("Capture stream moved to source ") +
                           quoted(pa_stream_get_device_name(stream)));
    }

    static void onReadable(pa_stream* stream, size_t, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        while (pa_stream_readable_size(stream) > 0) {
            const void* data = nullptr;
            size_t bytes = 0;
            if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0)
                return;
            // A hole (data lost by the server) has no samples to hand on.
            if (data && self->delivering && self->callbacks.onSamples) {
                self->samples.resize(bytes / sizeof(float));
                std::memcpy(self->samples.data(), data, self->samples.size() * sizeof(float));
                self->callbacks.onSamples(std::span<const float>(self->samples));
            }
            pa_stream_drop(stream);
        }
    }

    static void onSubscription(pa_context* context, pa_subscription_event_type_t type, uint32_t index,
                               void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!self->delivering)
            return;
        const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
        const auto kind = type & PA_SUBSCRIPTION_EVENT_TYPE_MASK;
        if (facility == PA_SUBSCRIPTION_EVENT_SOURCE && kind == PA_SUBSCRIPTION_EVENT_REMOVE &&
            index == self->sourceIndex) {
            self->reportChange(QStringLiteral("Source ") + quoted(self->sourceName.toUtf8().constData()) +
                               QStringLiteral(" was removed"));
        } else if (facility == PA_SUBSCRIPTION_EVENT_SERVER && kind == PA_SUBSCRIPTION_EVENT_CHANGE) {
            // Many things change the server; only a new default source concerns the stream.
            if (pa_operation* operation =
                    pa_context_get_server_info(context, &Connection::onServerChanged, self))
                pa_operation_unref(operation);
        }
    }

    static void onServerChanged(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (!info || !self->delivering || !info->default_source_name)
            return;
        const QString defaultSource = QString::fromUtf8(info->default_source_name);
        if (defaultSource != self->sourceName)
            self->reportChange(QStringLiteral("Default source changed to ") +
                               quoted(info->default_source_name));
    }

    static void onServerInfo(pa_context*, const pa_server_info* info, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        self->defaultSourceName =
            info && info->default_source_name ? QString::fromUtf8(info->default_source_name) : QString();
    }

    static void onSourceInfo(pa_context*, const pa_source_info* info, int eol, void* userdata) {
        auto* self = static_cast<Connection*>(userdata);
        if (eol == 0 && info) {
            self->sourceFound = true;
            self->sourceSpec = info->sample_spec;
        }
    }
};

PulseAudioCaptureDevice::PulseAudioCaptureDevice(QString address)
    : serverAddress(std::move(address)) {}

PulseAudioCaptureDevice::~PulseAudioCaptureDevice() = default;

AudioCaptureDevice::InputFormats PulseAudioCaptureDevice::probeInput() {
    // Every probe starts from a fresh connection: the server may have restarted since the last one.
    connection.reset();
    auto fresh = std::make_unique<Connection>();
    QString error;
    if (!fresh->connect(serverAddress, error)) {
        appLog(QStringLiteral("PulseAudioCaptureDevice: Could not connect to the sound server: ") + error);
        return {};
    }

    fresh->lock();
    const bool serverAnswered =
        fresh->finish(pa_context_get_server_info(fresh->context, &Connection::onServerInfo, fresh.get()));
    InputFormats formats;
    QString failure;
    if (!serverAnswered) {
        failure = QStringLiteral("Could not read the server's settings: ") + fresh->lastError();
    } else if (fresh->defaultSourceName.isEmpty()) {
        failure = QStringLiteral("The sound server has no default source");
    } else {
        const QByteArray name = fresh->defaultSourceName.toUtf8();
        fresh->sourceFound = false;
        const bool answered = fresh->finish(pa_context_get_source_info_by_name(
            fresh->context, name.constData(), &Connection::onSourceInfo, fresh.get()));
        if (!answered || !fresh->sourceFound) {
            failure = QStringLiteral("Could not read the default source ") + quoted(name.constData()) +
                      QStringLiteral(": ") + fresh->lastError();
        } else {
            const Format format{static_cast<double>(fresh->sourceSpec.rate), fresh->sourceSpec.channels};
            formats = {format, format};
        }
    }
    fresh->unlock();
    if (!failure.isEmpty())
        appLog(QStringLiteral("PulseAudioCaptureDevice: ") + failure);
    connection = std::move(fresh);
    return formats;
}

AudioCaptureDevice::StartResult PulseAudioCaptureDevice::start(const StreamRequest& request,
                                                               StreamCallbacks callbacks) {
    if (!connection) {
        QString error;
        auto fresh = std::make_unique<Connection>();
        if (!fresh->connect(serverAddress, error))
            return {false, QStringLiteral("Could not connect to the sound server: ") + error};
        connection = std::move(fresh);
    }
    Connection& c = *connection;
    c.lock();
    c.closeStream();
    if (pa_context_get_state(c.context) != PA_CONTEXT_READY) {
        const QString error = c.lastError();
        c.unlock();
        return {false, QStringLiteral("Not connected to the sound server: ") + error};
    }

    // The server converts the source's channels and rate to what is asked for.
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, static_cast<uint32_t>(std::lround(request.sampleRate)), 1};
    if (!pa_sample_spec_valid(&spec)) {
        c.unlock();
        return {false, QStringLiteral("Unsupported sample rate %1 Hz").arg(request.sampleRate)};
    }
    pa_channel_map map;
    pa_channel_map_init_mono(&map);
    c.stream = pa_stream_new(c.context, "Dictation", &spec, &map);
    if (!c.stream) {
        const QString error = c.lastError();
        c.unlock();
        return {false, QStringLiteral("Could not create the capture stream: ") + error};
    }
    pa_stream_set_state_callback(c.stream, &Connection::onStreamState, &c);
    pa_stream_set_read_callback(c.stream, &Connection::onReadable, &c);
    pa_stream_set_moved_callback(c.stream, &Connection::onStreamMoved, &c);
    pa_context_set_subscribe_callback(c.context, &Connection::onSubscription, &c);
    if (pa_operation* subscribing = pa_context_subscribe(
            c.context,
            static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SOURCE),
            nullptr, nullptr))
        pa_operation_unref(subscribing);

    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = static_cast<uint32_t>(std::max(request.framesPerBuffer, 1)) * sizeof(float);
    // No source name: the stream follows the default source.
    if (pa_stream_connect_record(c.stream, nullptr, &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
        const QString error = c.lastError();
        c.closeStream();
        c.unlock();
        return {false, QStringLiteral("Could not open the capture stream: ") + error};
    }
    const bool settled = c.waitUntil(
        [&c] {
            const pa_stream_state_t state = pa_stream_get_state(c.stream);
            return state == PA_STREAM_READY || !PA_STREAM_IS_GOOD(state);
        },
        connectTimeoutMs);
    if (!settled || pa_stream_get_state(c.stream) != PA_STREAM_READY) {
        const QString error = settled ? c.lastError() : QStringLiteral("timed out");
        c.closeStream();
        c.unlock();
        return {false, QStringLiteral("Could not open the capture stream: ") + error};
    }
    c.noteCurrentSource();
    c.callbacks = std::move(callbacks);
    c.delivering = true;
    appLog(QStringLiteral("PulseAudioCaptureDevice: Capturing from source %1 at %2 Hz")
               .arg(quoted(c.sourceName.toUtf8().constData()))
               .arg(spec.rate));
    c.unlock();
    return {true, {}};
}

void PulseAudioCaptureDevice::stop() {
    connection.reset();
}

QString PulseAudioCaptureDevice::currentSourceName() const {
    if (!connection)
        return {};
    connection->lock();
    const QString name = connection->delivering ? connection->sourceName : QString();
    connection->unlock();
    return name;
}
