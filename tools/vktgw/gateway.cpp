#include "gateway.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace vktgw {

namespace {

// How often the request counters of a station are republished when nothing else changed.
constexpr std::int64_t kStatusRefreshMs = 5000;
// The longest sleep of the loop, so that a missed wake-up costs little.
constexpr std::int64_t kMaxSleepMs = 250;

std::string Now() { return IsoTime(std::chrono::system_clock::now()); }

std::vector<std::int64_t> Intervals(const GatewayConfig& c) {
  std::vector<std::int64_t> out;
  for (const PollGroup& p : c.polls) out.push_back(p.intervalMs);
  return out;
}

std::int64_t SteadyMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t SteadyUs() {
  using namespace std::chrono;
  return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

int StateNumber(StationState s) {
  return s == StationState::kOnline ? 0 : s == StationState::kDemoted ? 1 : 2;
}

}  // namespace

void Gateway::Record(Station* s, int station, const char* op, std::int32_t code,
                     std::int64_t startUs) {
  if (metrics_ == nullptr) return;
  metrics_->Request(station, op, code, static_cast<double>(SteadyUs() - startUs) / 1e6);
  if (s != nullptr) metrics_->StationState(s->address, StateNumber(s->health.state()));
}

Gateway::Gateway(const GatewayConfig& config, DriverLine& line, MqttClient& mqtt, Inbox& inbox)
    : config_(config),
      line_(line),
      mqtt_(mqtt),
      inbox_(inbox),
      scheduler_(Intervals(config), SteadyMs()) {
  for (const PollGroup& p : config_.polls) {
    Station*& s = byAddress_[p.station];
    if (s == nullptr) {
      stations_.push_back(std::make_unique<Station>(Station{p.station, StationHealth(config_.demotion), {}, Now()}));
      s = stations_.back().get();
    }
    groups_.push_back({&p, s, std::vector<ElementState>(p.count)});
  }
}

std::int64_t Gateway::NowMs() const { return SteadyMs(); }

void Gateway::Publish(const std::string& topic, const std::string& payload, const std::string& ts,
                      bool mayWait) {
  retained_[topic] = payload;
  // With a backlog, a change goes behind the ones that wait, so the order holds.
  if (mayWait && backlog_ != nullptr && (!mqtt_.connected() || backlog_->holding())) {
    backlog_->Append(topic, LatePayload(payload, ts), true);
    journaled_.insert(topic);
    unsent_.erase(topic);
    return;
  }
  // Without one, while the broker is away the retained state waits here and goes out on
  // connection; handed to the client now, it would go out twice.
  if (mqtt_.connected()) {
    mqtt_.Publish(topic, payload, true);
    unsent_.erase(topic);
  } else {
    unsent_.insert(topic);
  }
}

void Gateway::OnConnected() {
  Publish(config_.prefix + "/status", GatewayStatusPayload(true, Now()), {}, false);
  republishPending_ = true;
  Republish();
}

void Gateway::Republish() {
  // What waits in the backlog goes first; the current state after it.
  if (backlog_ != nullptr && backlog_->holding()) return;
  // The first time only what never went out; after a reconnection everything, since the
  // broker may have restarted and lost its retained messages. A full backlog may have lost a
  // topic's latest state: then every topic goes out again.
  const std::uint64_t dropped = backlog_ != nullptr ? backlog_->dropped() : 0;
  const bool lost = dropped != droppedSeen_;
  droppedSeen_ = dropped;
  for (const auto& [topic, payload] : retained_)
    if (topic != config_.prefix + "/status" &&
        (lost || ((reconnection_ || unsent_.count(topic) != 0) && journaled_.count(topic) == 0)))
      mqtt_.Publish(topic, payload, true);
  unsent_.clear();
  journaled_.clear();
  reconnection_ = true;
  republishPending_ = false;
}

std::string Gateway::ElementTopic(const Group& g, int i) const {
  return config_.prefix + "/" + std::to_string(g.poll->station) + "/" + KindName(g.poll->kind) +
         "/" + std::to_string(g.poll->address + i);
}

void Gateway::PublishStation(Station& s) {
  std::uint64_t overruns = 0;
  for (int g = 0; g < static_cast<int>(groups_.size()); ++g)
    if (groups_[g].station == &s) overruns += scheduler_.overruns(g);
  s.counters.overruns = overruns;
  Publish(config_.prefix + "/" + std::to_string(s.address) + "/status",
          StationStatusPayload(StateName(s.health.state()), s.health.code(), s.since, s.counters),
          Now());
  s.publishedMs = NowMs();
  s.dirty = false;
}

void Gateway::RefreshStations() {
  const std::int64_t now = NowMs();
  for (auto& s : stations_)
    if (s->dirty && now - s->publishedMs >= kStatusRefreshMs) PublishStation(*s);
}

void Gateway::StartLine() {
  const std::int32_t code = line_.Start();
  if (code == 0) {
    lineUp_ = true;
    lineCode_ = 0;
    if (metrics_ != nullptr) metrics_->LineUp(true);
    lineRetryPeriodMs_ = config_.demotion.periodMs;
    return;
  }
  std::fprintf(stderr, "vktgw: the driver did not start: %d %s\n", code, CodeMessage(code).c_str());
  LineDown(code);
}

void Gateway::LineDown(std::int32_t code) {
  lineUp_ = false;
  lineCode_ = code;
  if (metrics_ != nullptr) {
    metrics_->LineUp(false);
    for (auto& s : stations_) metrics_->StationState(s->address, 2);
  }
  if (lineRetryPeriodMs_ == 0) lineRetryPeriodMs_ = config_.demotion.periodMs;
  lineRetryMs_ = NowMs() + lineRetryPeriodMs_;
  lineRetryPeriodMs_ = std::min(lineRetryPeriodMs_ * 2, config_.demotion.maxPeriodMs);
  for (auto& s : stations_) {
    if (s->health.OnLineDown(code)) {
      s->since = Now();
      PublishStation(*s);
    }
  }
}

void Gateway::ServeWrite(const IncomingMessage& m) {
  const std::string head = config_.prefix + "/";
  if (m.topic.compare(0, head.size(), head) != 0) return;  // not ours: never subscribed to it
  const std::string resultTopic = m.responseTopic.empty() ? m.topic + "/result" : m.responseTopic;
  WriteTarget target;
  std::int32_t code = 0;
  std::vector<double> values;
  if (!ParseWriteTopic(m.topic.substr(head.size()), target, code) ||
      !ParseWritePayload(target.kind, target.address, m.payload, values, code)) {
    ++counters_.malformedWrites;
  } else {
    const auto it = byAddress_.find(target.station);
    Station* s = it == byAddress_.end() ? nullptr : it->second;
    if (!lineUp_) {
      code = lineCode_;
    } else if (s != nullptr && s->health.state() == StationState::kDemoted) {
      code = s->health.code();  // off scan: answered at once, the line is not asked
    } else {
      const std::int64_t startUs = SteadyUs();
      code = line_.Write(target.station, target.kind, target.address, values);
      Record(s, target.station, "write", code, startUs);
      ++counters_.writes;
      if (code != 0) ++counters_.writeFailures;
      if (s != nullptr) {
        ++s->counters.requests;
        if (code != 0) ++s->counters.failures;
        s->dirty = true;
      }
      if (IsLineCode(code)) LineDown(code);
    }
  }
  mqtt_.Publish(resultTopic, ResultPayload(code), false, m.correlation);
}

void Gateway::ReadGroup(int gi) {
  Group& g = groups_[gi];
  const PollGroup& p = *g.poll;
  Station& s = *g.station;
  const std::int64_t startUs = SteadyUs();
  const std::int32_t code = line_.Read(p.station, p.kind, p.address, p.count, values_);
  const std::int64_t now = NowMs();
  const std::uint64_t overrunsBefore = scheduler_.overruns(gi);
  scheduler_.Ran(gi, now);
  counters_.overruns += scheduler_.overruns(gi) - overrunsBefore;
  if (metrics_ != nullptr)
    for (std::uint64_t i = overrunsBefore; i < scheduler_.overruns(gi); ++i) metrics_->Overrun(p.name);
  if (IsLineCode(code)) {
    LineDown(code);
    return;
  }
  ++counters_.reads;
  ++s.counters.requests;
  s.dirty = true;
  const std::string ts = Now();
  if (code == 0) {
    const PublishRule rule{p.deadband, p.maxSilenceMs};
    for (int i = 0; i < p.count; ++i)
      if (TakeReading(g.elements[i], values_[i], rule, now))
        Publish(ElementTopic(g, i), ValuePayload(p.kind, true, values_[i], true, ts, 0));
  } else {
    ++counters_.readFailures;
    ++s.counters.failures;
    for (int i = 0; i < p.count; ++i) {
      ElementState& e = g.elements[i];
      if (TakeFailure(e, now))
        Publish(ElementTopic(g, i), ValuePayload(p.kind, e.hasValue, e.value, false, ts, code));
    }
  }
  const StationState before = s.health.state();
  const bool changed = s.health.OnRead(code, now);
  if (metrics_ != nullptr) {
    Record(&s, p.station, "read", code, startUs);
    if (s.health.state() == StationState::kDemoted && before != StationState::kDemoted)
      metrics_->Demotion(s.address);
  }
  if (changed) {
    if (s.health.state() != before) {
      s.since = ts;
      std::fprintf(stderr, "vktgw: station %d %s (%d)\n", s.address, StateName(s.health.state()),
                   code);
    }
    PublishStation(s);
  }
}

void Gateway::Notify(std::int64_t now, bool scanDone) {
  if (!notify_) return;
  int online = 0;
  for (auto& s : stations_) online += s->health.state() == StationState::kOnline ? 1 : 0;
  std::string message;
  if (scanDone && !ready_) {
    ready_ = true;
    message += "READY=1\n";
  }
  if (ready_ && online != onlineNotified_) {
    onlineNotified_ = online;
    message += "STATUS=" + std::to_string(online) + " of " + std::to_string(stations_.size()) +
               " stations online" + (lineUp_ ? "" : ", line down (" + std::to_string(lineCode_) + ")") + "\n";
  }
  if (watchdogMs_ > 0 && now - pingedMs_ >= watchdogMs_) {
    pingedMs_ = now;
    message += "WATCHDOG=1\n";
  }
  if (!message.empty()) notify_(message);
}

void Gateway::Run() {
  for (auto& s : stations_) PublishStation(*s);
  StartLine();
  while (!inbox_.stopRequested()) {
    if (inbox_.TakeConnected()) OnConnected();
    if (republishPending_ && mqtt_.connected()) Republish();
    if (metrics_ != nullptr) metrics_->MqttConnected(mqtt_.connected());
    IncomingMessage m;
    if (inbox_.TakeWrite(m)) {
      ServeWrite(m);
      continue;  // every waiting write goes first
    }
    std::int64_t now = NowMs();
    std::int64_t wake = now + kMaxSleepMs;
    Notify(now, false);
    if (!lineUp_) {
      if (now >= lineRetryMs_) {
        line_.Stop();
        StartLine();
        continue;
      }
      wake = std::min(wake, lineRetryMs_);
      Notify(now, true);
    } else {
      for (int g = 0; g < scheduler_.size(); ++g)
        if (scheduler_.due(g) <= now && !groups_[g].station->health.MayRead(now))
          scheduler_.Pass(g, now);
      const int g = scheduler_.NextDue(now, [&](int i) { return groups_[i].station->health.MayRead(now); });
      if (g >= 0) {
        ReadGroup(g);
        RefreshStations();
        continue;
      }
      wake = std::min(wake, scheduler_.Earliest());
      Notify(now, true);
    }
    RefreshStations();
    inbox_.WaitUntil(std::chrono::steady_clock::time_point(std::chrono::milliseconds(wake)));
  }
  if (notify_) notify_("STOPPING=1\n");
  Publish(config_.prefix + "/status", GatewayStatusPayload(false, Now()), {}, false);
  if (backlog_ != nullptr) backlog_->Stop(2000);
  mqtt_.Stop(2000);
  line_.Stop();
}

}  // namespace vktgw
