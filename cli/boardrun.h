#pragma once

#include "boardlog.h"
#include "exitcodes.h"
#include "flashjob.h"

#include <QObject>

namespace flash {

// What every run of boards needs, however it finds its boards: the upgrade of each
// (everything but the port), the firmware file and the image's fingerprints for the log.
struct BoardRunSettings
{
    FlashJob::Options job;
    QString firmware;
    flash::ImageDigest digest;
};

// A run of boards (the ports named, or the boards that appear): started once, stopped by a
// signal, and over with the code the program exits with.
class BoardRun : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void start() = 0;
    // A signal: the boards in flight are stopped, then the run ends with the code (130 for
    // SIGINT and SIGTERM).
    virtual void interrupt(flash::ExitCode code) = 0;

signals:
    // The run is over; the program exits with this code.
    void done(int exitCode);
};

} // namespace flash
