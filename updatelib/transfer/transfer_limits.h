// Time limits of network transfers, the policy every HttpDownloader transfer follows.
#pragma once

namespace Tern {

struct TransferTimeouts {
    // Longest wait for a connection to be established.
    long connectSeconds;
    // A transfer slower than one byte per second for this long is given up.
    long lowSpeedSeconds;
    // The whole update-information request: while it runs no window shows and the game has not
    // started, so a server that trickles its answer must not keep the player waiting.
    long updateInfoSeconds;
};

// The limits in force: 30 s to connect, 60 s of stall, 15 s for the update information.
TransferTimeouts CurrentTransferTimeouts();

namespace testing {

// Only tests call these: every later transfer uses `timeouts`, until RestoreTransferTimeouts
// returns to the product's limits.
void OverrideTransferTimeouts(const TransferTimeouts& timeouts);
void RestoreTransferTimeouts();

}  // namespace testing
}  // namespace Tern
