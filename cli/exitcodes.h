#pragma once

namespace flash {

// The flasher's exit codes. Scripts and production lines rely on them: never 0 on failure.
// With several ports the process exits with the highest code of any port.
enum ExitCode : int
{
    Success = 0,
    Usage = 1,          // bad command line
    FirmwareFile = 2,   // missing, unreadable, empty or too large; checked before any port opens;
                        // or, by the device's capability answer, outside its area or larger
    PortFailed = 3,     // the port cannot be opened, or it was lost during the transfer
    NoAnswer = 4,       // the device did not answer the update request in time
    TooManyResends = 5, // one package was resent too often in a row
    CannotVerify = 6,   // --verify: the device did not answer the verification question
    VerifyMismatch = 7, // --verify: the device holds another image than the one sent
    LogLost = 8,        // --log: a board's record could not be kept
    Refused = 9,        // the device refused the request (its reason is shown)
    HungUp = 129,       // SIGHUP: the terminal was closed
    Interrupted = 130,  // SIGINT or SIGTERM
    Quit = 131,         // SIGQUIT
};

} // namespace flash
