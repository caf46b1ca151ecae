// An updater in a process of its own: it starts an update run for game "skyreach-eu", prints
// "started" and then "finished <result>" for every OnFinished, and stops the host and ends when
// its standard input ends.
#include <iostream>
#include <string>

#include "tests/support/isolated_env.h"
#include "updatelib/host/upgrade_host.h"

namespace {

class ChildHost : public Tern::UpgradeHost {
public:
    void OnProgress(double, double, double, double) override {}
    bool ConfirmRunUpdates() override { return false; }
    void OnFinished(int32_t result) override { std::cout << "finished " << result << std::endl; }
};

}  // namespace

int main() {
    tern_test::UseParentTestRegistry();
    ChildHost host;
    host.Start("skyreach-eu", "Software\\Norland\\Skyreach\\GameUpdate", "us", "Skyreach");
    std::cout << "started" << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
    }
    host.Stop();
    host.WaitForThreads();
    return 0;
}
