// The service's answers, listings and account answers: a reader that sees an answer in pieces
// must read what the whole answer says.
#include "fuzzinput.h"
#include "protocol/danswerparser.h"

#include <tuple>

static auto fields(const DAnswerParser::Account& a)
{
    return std::make_tuple(a.readable, a.generic, a.verdict, a.message, a.detail, a.currentFolderId,
                           a.values, a.entries.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const bool account = control(data, size, 0) & 1;
    const QByteArray answer = payload(data, size, 2);
    ChunkedBuffer pieces(answer, 1 + control(data, size, 1));
    DAnswerParser::Account whole, streamed;
    if (account) {
        whole = DAnswerParser::readAccount(answer);
        streamed = DAnswerParser::readAccount(pieces);
    } else {
        static_cast<DAnswerParser::Listing&>(whole) = DAnswerParser::readListing(answer);
        static_cast<DAnswerParser::Listing&>(streamed) = DAnswerParser::readListing(pieces);
    }
    if (fields(whole) != fields(streamed))
        abort();
    DAnswerParser::filterDetail(answer, account ? DAnswerParser::AccountDetail
                                                : DAnswerParser::ListingDetail);
    return 0;
}
