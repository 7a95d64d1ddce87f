#include "config.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

namespace vktgw {

namespace {

ConfigProblem At(const toml::source_region& where, std::string message) {
  return {static_cast<int>(where.begin.line), static_cast<int>(where.begin.column),
          std::move(message)};
}

// One table's keys: each known key is taken once; whatever is left at the end is unknown.
class TableReader {
 public:
  TableReader(const toml::table& table, std::string name, std::vector<ConfigProblem>& problems)
      : table_(table), name_(std::move(name)), problems_(problems) {}

  ~TableReader() {
    for (auto&& [key, node] : table_) {
      if (taken_.count(std::string(key.str())) == 0)
        problems_.push_back(At(key.source(), "unknown key \"" + std::string(key.str()) +
                                                 "\" in [" + name_ + "]"));
    }
  }

  bool String(const char* key, std::string& out, bool required) {
    const toml::node* n = Take(key, required);
    if (n == nullptr) return false;
    if (!n->is_string()) return Wrong(*n, key, "a string");
    out = n->as_string()->get();
    return true;
  }

  bool Integer(const char* key, std::int64_t& out, std::int64_t lo, std::int64_t hi,
               bool required) {
    const toml::node* n = Take(key, required);
    if (n == nullptr) return false;
    if (!n->is_integer()) return Wrong(*n, key, "an integer");
    const std::int64_t v = n->as_integer()->get();
    if (v < lo || v > hi) {
      problems_.push_back(At(n->source(), std::string(key) + " = " + std::to_string(v) +
                                              " is outside " + std::to_string(lo) + ".." +
                                              std::to_string(hi)));
      return false;
    }
    out = v;
    return true;
  }

  // A number, integer or float, not below 0.
  bool NonNegative(const char* key, double& out) {
    const toml::node* n = Take(key, false);
    if (n == nullptr) return false;
    double v = 0;
    if (n->is_integer())
      v = static_cast<double>(n->as_integer()->get());
    else if (n->is_floating_point())
      v = n->as_floating_point()->get();
    else
      return Wrong(*n, key, "a number");
    if (!(v >= 0) || !std::isfinite(v)) {
      problems_.push_back(At(n->source(), std::string(key) + " must be a number of 0 or more"));
      return false;
    }
    out = v;
    return true;
  }

  const toml::node* Node(const char* key) const { return table_.get(key); }
  const toml::table& table() const { return table_; }

 private:
  const toml::node* Take(const char* key, bool required) {
    taken_.insert(key);
    const toml::node* n = table_.get(key);
    if (n == nullptr && required) {
      problems_.push_back(At(table_.source(), "[" + name_ + "] needs the key \"" + key + "\""));
    }
    return n;
  }

  bool Wrong(const toml::node& n, const char* key, const char* what) {
    problems_.push_back(At(n.source(), std::string(key) + " must be " + what));
    return false;
  }

  const toml::table& table_;
  std::string name_;
  std::vector<ConfigProblem>& problems_;
  std::set<std::string> taken_;
};

// "COMn=DEVICE" with n from 1 to 8.
bool ParsePortOverride(const std::string& text, int& n, std::string& device) {
  if (text.size() < 6 || text.compare(0, 3, "COM") != 0) return false;
  const std::size_t eq = text.find('=');
  if (eq != 4 || text[3] < '1' || text[3] > '8' || eq + 1 >= text.size()) return false;
  n = text[3] - '0';
  device = text.substr(eq + 1);
  return true;
}

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT]
bool ParseUrl(const std::string& url, std::string& host, int& port, bool& tls, std::string& why) {
  std::string scheme = "mqtt://";
  tls = url.rfind("mqtts://", 0) == 0;
  if (tls) scheme = "mqtts://";
  if (url.rfind(scheme, 0) != 0) {
    why = "url must start with mqtt:// or mqtts://";
    return false;
  }
  std::string rest = url.substr(scheme.size());
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  const std::size_t colon = rest.rfind(':');
  std::string h = rest;
  int p = tls ? 8883 : 1883;
  if (colon != std::string::npos) {
    h = rest.substr(0, colon);
    const std::string digits = rest.substr(colon + 1);
    if (digits.empty() || digits.size() > 5 ||
        digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(digits) < 1 || std::stoi(digits) > 65535) {
      why = "url has no valid port after the host";
      return false;
    }
    p = std::stoi(digits);
  }
  if (h.empty() || h.find('/') != std::string::npos) {
    why = "url has no host";
    return false;
  }
  host = h;
  port = p;
  return true;
}

bool ValidPrefix(const std::string& p) {
  return !p.empty() && p.front() != '/' && p.back() != '/' &&
         p.find_first_of("+#") == std::string::npos && p.find('\0') == std::string::npos;
}

const toml::table* SubTable(const toml::table& root, const char* name, bool required,
                            std::vector<ConfigProblem>& problems) {
  const toml::node* n = root.get(name);
  if (n == nullptr) {
    if (required) problems.push_back({0, 0, std::string("the table [") + name + "] is missing"});
    return nullptr;
  }
  if (!n->is_table()) {
    problems.push_back(At(n->source(), std::string(name) + " must be a table [" + name + "]"));
    return nullptr;
  }
  return n->as_table();
}

// A path key, not empty; a relative path is taken from `baseDir` (the TOML file's directory).
bool ReadPathKey(TableReader& r, const char* key, bool required, const std::string& baseDir,
                 std::string& path, std::vector<ConfigProblem>& problems) {
  if (!r.String(key, path, required)) return false;
  if (path.empty()) {
    problems.push_back(At(r.Node(key)->source(), std::string(key) + " must not be empty"));
    return false;
  }
  if (path.front() != '/' && !baseDir.empty()) path = baseDir + "/" + path;
  return true;
}

void ReadLine(const toml::table& root, const std::string& baseDir, GatewayConfig& c,
              std::vector<ConfigProblem>& problems) {
  const toml::table* t = SubTable(root, "line", true, problems);
  if (t == nullptr) return;
  TableReader r(*t, "line", problems);
  ReadPathKey(r, "dir", true, baseDir, c.dir, problems);
  std::string port;
  if (r.String("port", port, false) && !ParsePortOverride(port, c.portNumber, c.portDevice))
    problems.push_back(At(r.Node("port")->source(), "port must be COMn=DEVICE with n from 1 to 8"));
}

// A file key: made absolute from `baseDir`, and it must be readable now.
bool ReadFileKey(TableReader& r, const char* key, const std::string& baseDir, std::string& path,
                 std::vector<ConfigProblem>& problems) {
  if (!ReadPathKey(r, key, false, baseDir, path, problems)) return false;
  if (!std::ifstream(path, std::ios::binary)) {
    problems.push_back(At(r.Node(key)->source(), std::string(key) + " " + path + " cannot be read"));
    return false;
  }
  return true;
}

void ReadMqtt(const toml::table& root, const std::string& baseDir, GatewayConfig& c,
              std::vector<ConfigProblem>& problems) {
  const toml::table* t = SubTable(root, "mqtt", true, problems);
  if (t == nullptr) return;
  TableReader r(*t, "mqtt", problems);
  std::string url;
  bool urlOk = false;
  if (r.String("url", url, true)) {
    std::string why;
    urlOk = ParseUrl(url, c.host, c.port, c.tls, why);
    if (!urlOk) problems.push_back(At(r.Node("url")->source(), why));
  }
  ReadFileKey(r, "ca_file", baseDir, c.caFile, problems);
  ReadFileKey(r, "cert_file", baseDir, c.certFile, problems);
  ReadFileKey(r, "key_file", baseDir, c.keyFile, problems);
  if (urlOk && c.tls && r.Node("ca_file") == nullptr)
    problems.push_back(At(r.Node("url")->source(), "an mqtts:// url needs ca_file"));
  if (urlOk && !c.tls) {
    for (const char* k : {"ca_file", "cert_file", "key_file"})
      if (r.Node(k) != nullptr)
        problems.push_back(At(r.Node(k)->source(), std::string(k) + " needs an mqtts:// url"));
  }
  if ((r.Node("cert_file") == nullptr) != (r.Node("key_file") == nullptr)) {
    const toml::node* n = r.Node("cert_file") ? r.Node("cert_file") : r.Node("key_file");
    problems.push_back(At(n->source(), "cert_file and key_file go together: give both or neither"));
  }
  if (r.String("username", c.username, false) && c.username.empty())
    problems.push_back(At(r.Node("username")->source(), "username must not be empty"));
  std::string passwordFile;
  if (ReadFileKey(r, "password_file", baseDir, passwordFile, problems)) {
    std::ifstream in(passwordFile, std::ios::binary);
    std::getline(in, c.password);
    if (!c.password.empty() && c.password.back() == '\r') c.password.pop_back();
    if (r.Node("username") == nullptr)
      problems.push_back(At(r.Node("password_file")->source(), "password_file needs username"));
  }
  if (r.String("client_id", c.clientId, false) && c.clientId.empty())
    problems.push_back(At(r.Node("client_id")->source(), "client_id must not be empty"));
  if (r.String("prefix", c.prefix, true) && !ValidPrefix(c.prefix))
    problems.push_back(At(r.Node("prefix")->source(),
                          "prefix must be a topic without + or #, not starting or ending in /"));
  std::int64_t qos = c.qos;
  if (r.Integer("qos", qos, 0, 2, false)) c.qos = static_cast<int>(qos);
  if (c.clientId.empty() && !c.prefix.empty()) {
    c.clientId = "vktgw-" + c.prefix;
    for (char& ch : c.clientId)
      if (ch == '/') ch = '-';
  }
}

// listen = "HOST:PORT", an address of this machine (IPv4 or a name), port 1..65535.
void ReadMetrics(const toml::table& root, GatewayConfig& c, std::vector<ConfigProblem>& problems) {
  const toml::table* t = SubTable(root, "metrics", false, problems);
  if (t == nullptr) return;
  TableReader r(*t, "metrics", problems);
  std::string listen;
  if (!r.String("listen", listen, true)) return;
  const std::size_t colon = listen.rfind(':');
  int port = 0;
  bool ok = colon != std::string::npos && colon > 0 && colon + 1 < listen.size() &&
            colon + 6 >= listen.size();
  for (std::size_t i = colon + 1; ok && i < listen.size(); ++i) {
    if (listen[i] < '0' || listen[i] > '9') ok = false;
    else port = port * 10 + (listen[i] - '0');
  }
  if (!ok || port < 1 || port > 65535) {
    problems.push_back(At(r.Node("listen")->source(), "listen must be \"HOST:PORT\" with a port 1..65535"));
    return;
  }
  c.metricsHost = listen.substr(0, colon);
  c.metricsPort = port;
}

void ReadBacklog(const toml::table& root, const std::string& baseDir, GatewayConfig& c,
                 std::vector<ConfigProblem>& problems) {
  const toml::table* t = SubTable(root, "backlog", false, problems);
  if (t == nullptr) return;
  TableReader r(*t, "backlog", problems);
  ReadPathKey(r, "dir", true, baseDir, c.backlogDir, problems);
  r.Integer("max_mb", c.backlogMaxMb, 1, 1 << 20, false);
}

void ReadDemotion(const toml::table& root, GatewayConfig& c,
                  std::vector<ConfigProblem>& problems) {
  const toml::table* t = SubTable(root, "demotion", false, problems);
  if (t == nullptr) return;
  TableReader r(*t, "demotion", problems);
  std::int64_t v = 0;
  if (r.Integer("after_failures", v, 1, 1000000, false)) c.demotion.afterFailures = static_cast<int>(v);
  if (r.Integer("period_ms", v, 1, 86400000, false)) c.demotion.periodMs = v;
  if (r.Integer("max_period_ms", v, 1, 86400000, false)) c.demotion.maxPeriodMs = v;
  if (c.demotion.maxPeriodMs < c.demotion.periodMs) {
    const toml::node* n = r.Node("max_period_ms") ? r.Node("max_period_ms") : r.Node("period_ms");
    problems.push_back(At(n != nullptr ? n->source() : t->source(),
                          "max_period_ms must not be below period_ms"));
  }
}

void ReadPoll(const toml::table& t, GatewayConfig& c, std::set<std::string>& names,
              std::vector<ConfigProblem>& problems) {
  TableReader r(t, "[poll]", problems);
  PollGroup g;
  if (r.String("name", g.name, true)) {
    if (g.name.empty())
      problems.push_back(At(r.Node("name")->source(), "name must not be empty"));
    else if (!names.insert(g.name).second)
      problems.push_back(At(r.Node("name")->source(), "a poll named \"" + g.name + "\" comes earlier"));
  }
  std::int64_t v = 0;
  if (r.Integer("station", v, 1, 255, true)) g.station = static_cast<int>(v);
  std::string kind;
  bool kindOk = false;
  if (r.String("kind", kind, true)) {
    kindOk = KindFromName(kind, g.kind);
    if (!kindOk) problems.push_back(At(r.Node("kind")->source(), "kind must be bit, word or float"));
  }
  if (r.Integer("address", v, 0, 65535, true)) g.address = static_cast<std::uint16_t>(v);
  const std::int64_t maxCount = kindOk ? MaxElements(g.kind) : 1000;
  if (r.Integer("count", v, 1, maxCount, false)) {
    g.count = static_cast<std::uint16_t>(v);
    if (g.address + v > 65536)
      problems.push_back(At(r.Node("count")->source(), "address + count runs past address 65535"));
  }
  if (r.Integer("interval_ms", v, 1, 86400000, false)) g.intervalMs = v;
  r.NonNegative("deadband", g.deadband);
  if (r.Integer("max_silence_s", v, 0, 86400 * 365, false)) g.maxSilenceMs = v * 1000;
  c.polls.push_back(g);
}

void ReadPolls(const toml::table& root, GatewayConfig& c, std::vector<ConfigProblem>& problems) {
  const toml::node* n = root.get("poll");
  if (n == nullptr) {
    problems.push_back({0, 0, "no [[poll]] group: the gateway would have nothing to read"});
    return;
  }
  const toml::array* a = n->as_array();
  if (a == nullptr || !a->is_array_of_tables()) {
    problems.push_back(At(n->source(), "poll must be an array of tables [[poll]]"));
    return;
  }
  std::set<std::string> names;
  for (const toml::node& e : *a) ReadPoll(*e.as_table(), c, names, problems);
}

}  // namespace

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kBit: return "bit";
    case Kind::kWord: return "word";
    case Kind::kFloat: return "float";
  }
  return "?";
}

bool KindFromName(const std::string& name, Kind& kind) {
  if (name == "bit") kind = Kind::kBit;
  else if (name == "word") kind = Kind::kWord;
  else if (name == "float") kind = Kind::kFloat;
  else return false;
  return true;
}

std::uint16_t MaxElements(Kind kind) {
  return kind == Kind::kBit ? 1000 : kind == Kind::kWord ? 500 : 250;
}

bool ParseConfig(const std::string& text, const std::string& baseDir, GatewayConfig& config,
                 std::vector<ConfigProblem>& problems) {
  const std::size_t before = problems.size();
  toml::table root;
  try {
    root = toml::parse(text);
  } catch (const toml::parse_error& e) {
    problems.push_back(At(e.source(), std::string(e.description())));
    return false;
  }
  static const std::set<std::string> kTables = {"line", "mqtt", "demotion", "poll", "metrics",
                                                       "backlog"};
  for (auto&& [key, node] : root) {
    if (kTables.count(std::string(key.str())) == 0)
      problems.push_back(At(key.source(), "unknown table or key \"" + std::string(key.str()) + "\""));
  }
  ReadLine(root, baseDir, config, problems);
  ReadMqtt(root, baseDir, config, problems);
  ReadDemotion(root, config, problems);
  ReadMetrics(root, config, problems);
  ReadBacklog(root, baseDir, config, problems);
  ReadPolls(root, config, problems);
  std::stable_sort(problems.begin() + static_cast<std::ptrdiff_t>(before), problems.end(),
                   [](const ConfigProblem& a, const ConfigProblem& b) {
                     return a.line != b.line ? a.line < b.line : a.column < b.column;
                   });
  return problems.size() == before;
}

bool LoadConfig(const std::string& path, GatewayConfig& config,
                std::vector<ConfigProblem>& problems) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problems.push_back({0, 0, "cannot read the file"});
    return false;
  }
  std::stringstream s;
  s << in.rdbuf();
  const std::size_t slash = path.rfind('/');
  const std::string base = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  return ParseConfig(s.str(), base, config, problems);
}

std::string FormatProblem(const std::string& path, const ConfigProblem& p) {
  if (p.line == 0) return path + ": " + p.message;
  return path + ":" + std::to_string(p.line) + ":" + std::to_string(p.column) + ": " + p.message;
}

}  // namespace vktgw
