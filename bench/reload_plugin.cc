// The plugin loaded, logged in, logged out and unloaded again and again in one process, as
// a client that restarts its plugins would: the resident memory should stay flat. Reports
// the process's threads, descriptors and resident memory after rounds 1, 10 and the last.
//
//   reload_plugin [ROUNDS]      (default 100)
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "kivsim_process.h"
#include "login_rig.h"
#include "process_sample.h"

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
  if (rounds < 1) {
    std::fprintf(stderr, "usage: reload_plugin [ROUNDS]\n");
    return 2;
  }
  // The simulator runs in a process of its own: what is measured here is the host and the
  // plugin alone.
  const std::unique_ptr<kivbench::KivsimProcess> sim = kivbench::StartKivsim(
      "reload",
      "accounts:\n"
      "  - { username: alice, password: pw, account_id: 7, summoner_id: 70 }\n"
      "login_queue: { players_ahead: 0 }\n");
  if (!sim->ok()) {
    std::fprintf(stderr, "reload_plugin: kivsim did not start\n");
    return 1;
  }
  kivbench::LoginRig rig(sim->RegionSettingsJson(), nullptr);
  kivbench::ProcessSample at10;
  for (int round = 1; round <= rounds; ++round) {
    if (!rig.ok()) {
      std::fprintf(stderr, "reload_plugin: round %d: %s\n", round, rig.error().c_str());
      return 1;
    }
    if (!rig.Login()) {
      std::fprintf(stderr, "reload_plugin: round %d: the login did not succeed\n", round);
      return 1;
    }
    rig.Logout();
    (void)rig.Reload();
    const kivbench::ProcessSample sample = kivbench::SampleProcess();
    if (round == 10) at10 = sample;
    if (round == 1 || round == 10 || round == rounds) {
      const std::string when = "after round " + std::to_string(round);
      kivbench::PrintSample(when.c_str(), sample);
    }
    if (round == rounds && rounds >= 10) {
      std::printf("resident %+.2f MiB from round 10 to round %d (%+.1f KiB a round)\n",
                  (sample.rss_kib - at10.rss_kib) / 1024.0, rounds,
                  static_cast<double>(sample.rss_kib - at10.rss_kib) / (rounds - 10));
    }
  }
  return 0;
}
