// The exact bytes of velnor-tftp --json's line for a success and for each kind of failure: the
// contract with scripts, whatever writes it.
#include <gtest/gtest.h>

#include <string>

#include "CliJson.h"
#include "CliOptions.h"
#include "ResultMessages.h"

TEST(CliJsonGolden, TheLineKeepsItsBytes)
{
    CliOutcome got;  // a get into a file, its bytes new
    got.router = "192.0.2.1";
    got.operation = CliOperation::Get;
    got.fileNumber = 0;
    got.localFile = "/srv/backup/core 1.conf";
    got.bOk = true;
    got.message = "Finish";
    got.nBytes = 123456789012LL;
    got.dSeconds = 0.0126;
    got.changed = true;

    CliOutcome revup = got;  // a revup that nobody answered
    revup.operation = CliOperation::Revup;
    revup.localFile = "-";
    revup.bOk = false;
    revup.code = TFTP_ERR_NO_RESPONSE;
    revup.failureClass = kClassTimeout;
    revup.message = "no answer\r\nfrom the router";
    revup.nBytes = 0;
    revup.dSeconds = -1;  // a clock that went back shows no time
    revup.changed = false;

    CliOutcome router = got;  // the router's own words, with what JSON must escape
    router.bOk = false;
    router.code = TFTP_ERR_PEER_ERROR;
    router.failureClass = kClassRefused;
    router.message = "a \"quoted\" back\\slash / \xe6\x97\xa5";
    router.routerText = "line\none\ttab";
    router.dSeconds = 59.9996;
    router.changed = false;

    struct Case {
        const char* pszName;
        CliOutcome outcome;
        std::string line;
    };
    const Case cases[] = {
        {"a get", got,
         "{\"router\":\"192.0.2.1\",\"operation\":\"get\",\"file_number\":0,\"local_file\":\"/srv/backup/core 1.conf\","
         "\"ok\":true,\"code\":null,\"class\":null,\"message\":\"Finish\",\"router_text\":null,\"bytes\":123456789012,"
         "\"seconds\":0.013,\"changed\":true,\"detail\":null}\n"},
        {"no answer", revup,
         "{\"router\":\"192.0.2.1\",\"operation\":\"revup\",\"file_number\":0,\"local_file\":\"-\",\"ok\":false,"
         "\"code\":\"0x8213\",\"class\":\"timeout\",\"message\":\"no answer\\r\\nfrom the router\","
         "\"router_text\":null,\"bytes\":0,\"seconds\":0.000,\"changed\":false,\"detail\":null}\n"},
        {"the router refused", router,
         "{\"router\":\"192.0.2.1\",\"operation\":\"get\",\"file_number\":0,\"local_file\":\"/srv/backup/core 1.conf\","
         "\"ok\":false,\"code\":\"0x8214\",\"class\":\"refused\","
         "\"message\":\"a \\\"quoted\\\" back\\\\slash / \xe6\x97\xa5\",\"router_text\":\"line\\none\\ttab\","
         "\"bytes\":123456789012,\"seconds\":60.000,\"changed\":false,\"detail\":null}\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pszName);
        EXPECT_EQ(FormatJsonLine(c.outcome), c.line);
    }
}
