// Time limits of network transfers.
#pragma once

namespace platform {

struct TransferTimeouts {
    // Longest wait for a connection to be established.
    long connectSeconds;
    // A transfer slower than one byte per second for this long is given up.
    long lowSpeedSeconds;
};

// The limits every transfer uses: 30 s to connect, 60 s of stall.
TransferTimeouts CurrentTransferTimeouts();

}  // namespace platform
