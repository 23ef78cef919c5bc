// telvane-mqtt-readers: the load benchmark's readers for its mosquitto anchor. Takes the client
// tool's options (lists, --load, --count, --duration, --expect-seq, --quiet, --progress, and
// --nats-prefix as the topic prefix) and "--mqtt HOST:PORT", the broker to follow; prints READY
// once every subscriber is in place and the client tool's report at the end. Exit code 0 on a
// normal end, 1 when the broker could not be reached, 2 for a bad command line.
//
// It lives beside the benchmark rather than in the client tool because nothing but the
// benchmark follows an MQTT broker: the shipped tools need no MQTT library.
//
// Threads: the main thread only (mqtt_run.h).
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "client/options.h"
#include "mqtt_run.h"

namespace {

using namespace cticlient;

// Takes "--mqtt HOST:PORT" (or "--mqtt=HOST:PORT") out of lstArgs; the rest is the client tool's.
bool TakeAddress(std::vector<std::string>& lstArgs, std::string& sAddress, std::string& sError) {
  auto itArg = lstArgs.begin();
  while (itArg != lstArgs.end()) {
    if (itArg->starts_with("--mqtt=")) {
      sAddress = itArg->substr(7);
      itArg = lstArgs.erase(itArg);
    } else if (*itArg == "--mqtt") {
      if (itArg + 1 == lstArgs.end()) {
        sError = "--mqtt needs a value";
        return false;
      }
      sAddress = *(itArg + 1);
      itArg = lstArgs.erase(itArg, itArg + 2);
    } else {
      ++itArg;
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> lstArgs(argv + 1, argv + argc);
  TClientOptions tOptions;
  std::string sAddress, sError;
  if (!TakeAddress(lstArgs, sAddress, sError) || !ParseClientOptions(lstArgs, tOptions, sError)) {
    std::fprintf(stderr, "telvane-mqtt-readers: %s\n", sError.c_str());
    return 2;
  }
  if (tOptions.bHelp) {
    std::printf("usage: telvane-mqtt-readers --mqtt HOST:PORT [options]\n"
                "Follows the frames on an MQTT broker: topics <prefix>/queue/<n>, ..., QoS 0.\n"
                "Options as the client tool's:\n%s", ClientUsageText().c_str());
    return 0;
  }
  if (sAddress.empty()) {
    std::fputs("telvane-mqtt-readers: --mqtt HOST:PORT names the broker to follow\n", stderr);
    return 2;
  }
  if (!tOptions.sNatsUrl.empty() || !tOptions.lstSend.empty()) {
    std::fputs("telvane-mqtt-readers: --mqtt follows a broker alone: not with --nats or --send\n", stderr);
    return 2;
  }
  try {
    return RunMqtt(tOptions, sAddress);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "telvane-mqtt-readers: %s\n", e.what());
    return 1;
  }
}
