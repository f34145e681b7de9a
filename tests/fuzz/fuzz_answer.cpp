// The service's answers: listings and account answers, read whole and read in pieces.
#include "fuzzinput.h"
#include "protocol/danswerparser.h"

#include <cstdio>
#include <cstdlib>

namespace {

void print(const char* what, const DAnswerParser::Listing& l)
{
    fprintf(stderr,
            "%s: readable=%d generic=%d verdict=%d entries=%lld folder=%s error=%s detail=[%s] "
            "message=[%s]\n",
            what, l.readable, l.generic, l.verdict, (long long)l.entries.size(),
            qPrintable(l.currentFolderId), qPrintable(l.error), qPrintable(l.detail),
            qPrintable(l.message));
}

bool sameListing(const DAnswerParser::Listing& a, const DAnswerParser::Listing& b)
{
    return a.readable == b.readable && a.generic == b.generic && a.verdict == b.verdict &&
           a.message == b.message && a.detail == b.detail && a.entries.size() == b.entries.size() &&
           a.currentFolderId == b.currentFolderId;
}

[[noreturn]] void differ(const DAnswerParser::Listing& whole,
                         const DAnswerParser::Listing& streamed)
{
    print("whole", whole);
    print("in pieces", streamed);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput input(data, size);
    const bool account = input.take() & 1;
    const int chunk = 1 + input.take();
    const QByteArray answer = input.rest();
    ChunkedBuffer pieces(answer, chunk);
    if (account) {
        const DAnswerParser::Account whole = DAnswerParser::readAccount(answer);
        const DAnswerParser::Account streamed = DAnswerParser::readAccount(pieces);
        if (!sameListing(whole, streamed) || whole.values != streamed.values)
            differ(whole, streamed);
    } else {
        // A reader that sees the answer in pieces must read what the whole answer says.
        const DAnswerParser::Listing whole = DAnswerParser::readListing(answer);
        const DAnswerParser::Listing streamed = DAnswerParser::readListing(pieces);
        if (!sameListing(whole, streamed))
            differ(whole, streamed);
    }
    DAnswerParser::filterDetail(answer, account ? DAnswerParser::AccountDetail
                                                : DAnswerParser::ListingDetail);
    return 0;
}
