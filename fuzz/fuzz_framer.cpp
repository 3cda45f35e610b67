// The reply framer fed arbitrary byte streams, split at arbitrary points, with quiet gaps
// and fast-mode takes in between. Only valid reply frames may ever come out, each an exact
// copy of the bytes gathered since the previous gap, and no valid burst may be lost.
//
// Input: a sequence of commands, each one control byte c:
//   c >> 6 == 0: append the next (c & 0x3F) bytes of the input as one arrival
//   c >> 6 == 1: the line went quiet (quiet())
//   c >> 6 == 2: fast mode asks whether a frame is complete (takeIfComplete())
//   c >> 6 == 3: append a long arrival: the next (c & 0x3F) + 1 bytes repeated
//                (next byte + 1) * 16 times, to reach the burst limit
#include "fuzzcheck.h"
#include "replyframer.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceQt();
    fuzz::Input in(data, size);

    QByteArray burst; // the owner's receive buffer
    links::ReplyFramer framer(&burst);

    QByteArray model;    // every byte appended since the last gap or take
    qint64 gathered = 0; // their count, also past the limit
    int quiets = 0;

    while (!in.atEnd()) {
        const uint8_t c = in.byte();
        switch (c >> 6) {
        case 0:
        case 3: {
            QByteArray chunk;
            if ((c >> 6) == 0) {
                chunk = in.bytes(c & 0x3F);
            } else {
                const QByteArray unit = in.bytes((c & 0x3F) + 1);
                chunk = unit.repeated((in.byte() + 1) * 16);
            }
            // The framer must agree with an independent check on any byte string.
            FUZZ_CHECK(links::ReplyFramer::isValidFrame(chunk) == fuzz::isValidReply(chunk));
            framer.append(chunk);
            gathered += chunk.size();
            if (gathered <= links::ReplyFramer::MaxBurst)
                model += chunk;
            else
                model.clear();
            break;
        }
        case 1: {
            QByteArray frame = QByteArrayLiteral("untouched");
            const links::ReplyFramer::Outcome outcome = framer.quiet(&frame);
            ++quiets;
            FUZZ_CHECK(framer.quietCount() == quiets);
            const bool overflowed = gathered > links::ReplyFramer::MaxBurst;
            if (outcome == links::ReplyFramer::Outcome::Accepted) {
                FUZZ_CHECK(fuzz::isValidReply(frame));
                FUZZ_CHECK(!overflowed);
                FUZZ_CHECK(frame == model);
            } else {
                FUZZ_CHECK(frame == QByteArrayLiteral("untouched"));
                if (outcome == links::ReplyFramer::Outcome::Empty)
                    FUZZ_CHECK(gathered == 0);
                else
                    FUZZ_CHECK(gathered > 0);
                // A valid burst that stayed within the limit is never dropped.
                FUZZ_CHECK(overflowed || !fuzz::isValidReply(model));
            }
            FUZZ_CHECK(burst.isEmpty());
            model.clear();
            gathered = 0;
            break;
        }
        case 2: {
            QByteArray frame = QByteArrayLiteral("untouched");
            const bool taken = framer.takeIfComplete(&frame);
            const bool overflowed = gathered > links::ReplyFramer::MaxBurst;
            if (taken) {
                FUZZ_CHECK(fuzz::isValidReply(frame));
                FUZZ_CHECK(!overflowed);
                FUZZ_CHECK(frame == model);
                FUZZ_CHECK(burst.isEmpty());
                model.clear();
                gathered = 0;
            } else {
                FUZZ_CHECK(frame == QByteArrayLiteral("untouched"));
                FUZZ_CHECK(overflowed || !fuzz::isValidReply(model));
            }
            break;
        }
        }
        // The burst never outgrows the limit and, until the limit, is what arrived.
        FUZZ_CHECK(burst.size() <= links::ReplyFramer::MaxBurst);
        if (gathered <= links::ReplyFramer::MaxBurst)
            FUZZ_CHECK(burst == model);
    }
    return 0;
}
