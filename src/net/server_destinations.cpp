// SPDX-License-Identifier: GPL-3.0-or-later
#include "net/server_destinations.hpp"

#include "config/config_keys.hpp"
#include "config/destinations.hpp"
#include "config/settings.hpp"
#include "platform/network_interfaces.hpp"

#include <cerrno>

namespace kestrel::net {

namespace {

std::string Cause(int error) {
  switch (error) {
  case ENETUNREACH: return "no route to its network";
  case EHOSTUNREACH: return "no route to the host";
  case EACCES:
  case EPERM: return "a firewall rule refuses it";
  case ENETDOWN: return "the network is down";
  default: return "error " + std::to_string(error);
  }
}

} // namespace

net::SenderDestinations ReadSenderDestinations(const Settings& settings, const NoticeFunction& notice) {
  net::SenderDestinations d;
  d.broadcast = settings.ReadConfigInt(config::kServerBroadcast) != 0;

  std::string text = settings.ReadConfigText(config::kServerTargets);
  // A hand-edited line longer than settings hold comes cut: its last entry may be a part of one.
  std::string cut;
  if (text.size() >= Settings::kMaxTextLength) {
    const std::size_t last = text.find_last_of(" \t,;");
    cut = text.substr(last == std::string::npos ? 0 : last + 1);
    text.resize(text.size() - cut.size());
  }
  config::TargetList targets = config::ParseTargets(text);
  if (!cut.empty()) targets.refused.push_back(cut + ": cut off (the line is longer than 259 characters)");
  for (const std::string& refused : targets.refused) {
    notice(SettingNotice(config::kServerTargets.section, config::kServerTargets.name, refused, "; skipped", ": "));
  }
  d.targets = std::move(targets.addresses);

  std::string why;
  const auto group = config::ParseGroup(settings.ReadConfigText(config::kServerGroup), &why);
  if (group) {
    d.group = *group;
  } else {
    notice(SettingNotice(config::kServerGroup.section, config::kServerGroup.name, why, "; no group is sent to"));
  }
  const std::int32_t ttl = settings.ReadConfigInt(config::kServerTtl);
  if (ttl < 1 || ttl > 255) {
    notice(SettingNotice(config::kServerTtl.section, config::kServerTtl.name, std::to_string(ttl),
                         " is not 1 to 255; 1 is used"));
  } else {
    d.ttl = ttl;
  }
  if (!d.broadcast && d.targets.empty() && d.group == 0) {
    notice("Server: Broadcast=0 without Targets or Group: nothing is sent");
  }
  return d;
}

in_addr_t ReadClientGroup(const Settings& settings, const NoticeFunction& notice) {
  std::string why;
  const auto group = config::ParseGroup(settings.ReadConfigText(config::kClientGroup), &why);
  if (group) return *group;
  notice(SettingNotice(config::kClientGroup.section, config::kClientGroup.name, why,
                       "; only broadcasts and datagrams to this address are heard"));
  return 0;
}

std::string DestinationsText(const net::SenderDestinations& d, unsigned port) {
  std::string text = (d.broadcast ? "broadcasting to UDP port " : "sending to UDP port ") + std::to_string(port);
  std::string others;
  for (const in_addr_t target : d.targets) others += (others.empty() ? "" : ", ") + DottedAddress(target);
  if (d.group != 0) {
    others +=
        (others.empty() ? "group " : ", group ") + DottedAddress(d.group) + " (TTL " + std::to_string(d.ttl) + ")";
  }
  if (others.empty()) return d.broadcast ? text : text + " of nobody";
  return text + (d.broadcast ? ", and to " : " of ") + others;
}

void TargetWatch::Reset() { seen_.clear(); }

void TargetWatch::Check(const net::CUdpSender& sender, Tick now, const NoticeFunction& notice) {
  seen_.resize(sender.TargetCount());
  for (std::size_t i = 0; i < seen_.size(); ++i) {
    Seen& s = seen_[i];
    const std::uint64_t failures = sender.TargetFailures(i);
    const std::string address = DottedAddress(sender.TargetAddress(i));
    if (s.told && !sender.TargetFailing(i)) {
      notice("Server: " + address + " is reached again");
      s.failures = failures;
      s.told = false;
      continue;
    }
    if (failures == s.failures || (s.told && TickElapsed(now, s.toldAt) < kIntervalMs)) continue;
    const std::uint64_t lost = failures - s.failures;
    notice("Server: " + address + " cannot be reached (" + Cause(sender.TargetError(i)) + "); " + std::to_string(lost) +
           (lost == 1 ? " datagram" : " datagrams") + " not sent there; the other destinations go on");
    s.failures = failures;
    s.toldAt = now;
    s.told = true;
  }
}

} // namespace kestrel::net
