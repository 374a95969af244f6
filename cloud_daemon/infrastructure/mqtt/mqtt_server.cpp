#include "cloud_daemon/infrastructure/mqtt/mqtt_server.h"

#include <MQTTAsync.h>

#include <atomic>
#include <sstream>

namespace cloud_daemon::infrastructure::mqtt {

using domain::interfaces::log_info;
using domain::interfaces::log_warn;

namespace {

std::atomic<ILogger*> g_traceLogger{nullptr};

extern "C" void traceHook(enum MQTTASYNC_TRACE_LEVELS level, char* message) {
    mqtt_trace_callback(static_cast<int>(level), message);
}

}  // namespace

void set_mqtt_trace_logger(ILogger* logger) {
    g_traceLogger.store(logger);
    if (logger) {
        MQTTAsync_setTraceLevel(MQTTASYNC_TRACE_PROTOCOL);
        MQTTAsync_setTraceCallback(traceHook);
    } else {
        MQTTAsync_setTraceCallback(nullptr);
    }
}

void release_mqtt_trace_logger(ILogger* logger) {
    ILogger* expected = logger;
    if (g_traceLogger.compare_exchange_strong(expected, nullptr)) MQTTAsync_setTraceCallback(nullptr);
}

void mqtt_trace_callback(int level, const char* text) {
    ILogger* logger = g_traceLogger.load();
    if (!logger || !text) return;
    ILogger& l = level == 4 ? logger->info() : level == 5 ? logger->error() : logger->debug();
    l << "[MQTT Trace] " << text;
    logger->log_line_completed();
}

// ---- SubscriptionCallback ----------------------------------------------------------------------

void SubscriptionCallback::report(const ::mqtt::token& tok, const char* outcome) {
    std::ostringstream line;
    line << topic_ << outcome;
    if (tok.get_message_id() != 0) line << " for token: [" << tok.get_message_id() << "]";
    auto topics = tok.get_topics();
    if (topics && !topics->empty()) line << "\ttoken topic: '" << (*topics)[0] << "', ...";
    log_info(logger_, line.str());
}

void SubscriptionCallback::on_failure(const ::mqtt::token& tok) { report(tok, " failure"); }
void SubscriptionCallback::on_success(const ::mqtt::token& tok) { report(tok, " success"); }

// ---- MqttCallback ------------------------------------------------------------------------------

MqttCallback::MqttCallback(std::shared_ptr<::mqtt::async_client> client, ::mqtt::connect_options options,
                           std::string commandTopic, int qos, ILogger& logger)
    : client_(client),
      options_(std::move(options)),
      commandTopic_(std::move(commandTopic)),
      subscription_(commandTopic_, logger),
      qos_(qos),
      logger_(logger) {}

void MqttCallback::connected(const std::string& cause) {
    if (cause.empty()) log_info(logger_, "MQTT Connected. Qos: ", qos_);
    else log_info(logger_, "MQTT Connected. Cause: ", cause, ", Qos: ", qos_);
    if (commandTopic_.empty()) return;
    try {
        if (auto c = client_.lock()) c->subscribe(commandTopic_, qos_, nullptr, subscription_);
    } catch (const std::exception& e) {
        log_warn(logger_, "Subscribe failed: ", e.what());
    }
}

void MqttCallback::connection_lost(const std::string& cause) {
    if (cause.empty()) log_warn(logger_, "MQTT Connection Lost");
    else log_warn(logger_, "MQTT Connection Lost Cause: ", cause);
}

void MqttCallback::message_arrived(::mqtt::const_message_ptr msg) {
    if (!msg) return;
    const std::string& topic = msg->get_topic();
    const std::string payload = msg->to_string();
    log_info(logger_, "Message arrived on topic: '", topic, "' payload: '", payload, "'");
    if (topic != commandTopic_) return;
    std::lock_guard lock(mutex_);
    lastMessage_ = payload;  // replaces one not yet taken
}

void MqttCallback::delivery_complete(::mqtt::delivery_token_ptr tok) {
    const void* msg = tok ? static_cast<const void*>(tok->get_message().get()) : nullptr;
    log_info(logger_, "Message send completed: '", msg);
}

void MqttCallback::on_failure(const ::mqtt::token& tok) {
    log_warn(logger_, "MQTT Connection failed. Reason: ", tok.get_return_code(), ", Message ID: ", tok.get_message_id(),
             ", Type: ", static_cast<int>(tok.get_type()));
}

void MqttCallback::on_success(const ::mqtt::token&) { log_info(logger_, "MQTT Connection established successfully"); }

std::string MqttCallback::take() {
    std::lock_guard lock(mutex_);
    std::string out;
    out.swap(lastMessage_);
    return out;
}

// ---- MqttServer --------------------------------------------------------------------------------

MqttServer::~MqttServer() { cleanup(); }

void MqttServer::init(const std::string& uri, const std::string& clientId, int qos, const std::string& user,
                      const std::string& password, const std::string& commandTopic) {
    log_info(logger_, "Server Address ", uri, "; Qos: ", qos, "; UN: ", user, "; Pw: ", "********");
    // A reload builds a new client: the old one is disconnected and its callback released first.
    if (client_ || callback_) cleanup();
    clientId_ = clientId;
    uri_ = uri;
    qos_ = qos;
    ::mqtt::connect_options o;
    o.set_keep_alive_interval(kKeepAliveSeconds);
    o.set_clean_session(false);
    o.set_user_name(user);
    o.set_password(password);
    o.set_automatic_reconnect(std::chrono::seconds(5), std::chrono::seconds(10));
    o.set_connect_timeout(10);
    options_ = o;
    auto client = std::make_shared<::mqtt::async_client>(uri, clientId, nullptr);  // throws for a refused URI
    auto callback = std::make_shared<MqttCallback>(client, options_, commandTopic, qos, logger_);
    client->set_callback(*callback);
    client_ = std::move(client);
    callback_ = std::move(callback);
}

void MqttServer::connect() {
    if (!client_ || !callback_) {
        domain::interfaces::log_error(logger_, "MQTT client not initialized");
        return;
    }
    log_info(logger_, "Connecting to MQTT...");
    try {
        client_->connect(options_, nullptr, *callback_)->wait_for(kTokenWait);
    } catch (const std::exception& e) {
        log_warn(logger_, "Connect failed: ", e.what());
    }
}

int MqttServer::publish(const std::string& topic, const std::string& payload) {
    if (!client_ || !client_->is_connected()) {
        log_warn(logger_, "Cannot publish: MQTT client not connected");
        return 0;
    }
    if (topic.empty()) return 1;
    log_info(logger_, "Sending message on ", topic, "...");
    try {
        auto msg = ::mqtt::make_message(topic, payload);
        msg->set_qos(qos_);  // a QoS outside 0..2 raises the library's "Bad QoS"
        return client_->publish(msg)->wait_for(kTokenWait) ? 1 : 0;
    } catch (const ::mqtt::exception& e) {
        log_warn(logger_, "MQTT exception publishing to topic ", topic, " : ", e.what());
    } catch (const std::exception& e) {
        log_warn(logger_, "Exception publishing to topic ", topic, " : ", e.what());
    }
    return 0;
}

void MqttServer::disconnect() {
    if (!client_ || !client_->is_connected()) return;
    try {
        client_->disconnect()->wait_for(kTokenWait);
    } catch (const std::exception& e) {
        log_warn(logger_, "Disconnect failed: ", e.what());
    }
}

void MqttServer::cleanup() {
    if (!client_ && !callback_) return;
    log_info(logger_, "MQTT cleanup starting...");
    if (client_) {
        // The library refuses to change callbacks while a (re)connection is under way, as after
        // the broker went away: the client is then destroyed with its callback still set, which
        // ends its callbacks as well. Nothing here may throw: a reload and the destructor call it.
        try {
            client_->disable_callbacks();
        } catch (const std::exception& e) {
            log_warn(logger_, "Exception during cleanup: ", e.what());
        }
        try {
            if (client_->is_connected()) client_->disconnect()->wait_for(kTokenWait);
        } catch (const std::exception& e) {
            log_warn(logger_, "Exception during cleanup: ", e.what());
        }
    }
    client_.reset();  // the library's threads are gone with the client
    callback_.reset();
    log_info(logger_, "MQTT cleanup completed");
}

}  // namespace cloud_daemon::infrastructure::mqtt
