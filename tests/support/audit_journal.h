// Reading the audit records of deletion runs that a scratch journal
// received: every datagram parsed, the records of "deletion run ended"
// picked out, each checked for the full set of fields and for a password.
//
// Header-only; whoever includes it links GoogleTest and the test harness.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "harness/scratch_journal.h"
#include "ops/audit_record.h"

namespace quellmark::test {

// Every field an audit record carries, each exactly once.
inline const std::vector<std::string> kAuditFields = {"MESSAGE",
                                                      "MESSAGE_ID",
                                                      "PRIORITY",
                                                      "QUELLMARK_FRONT_END",
                                                      "QUELLMARK_SERVER",
                                                      "QUELLMARK_DATABASE",
                                                      "QUELLMARK_LOGIN",
                                                      "QUELLMARK_STATEMENT",
                                                      "QUELLMARK_ROWS_DELETED",
                                                      "QUELLMARK_ROWS_LEFT",
                                                      "QUELLMARK_STOP_REASON",
                                                      "QUELLMARK_SECONDS"};

// The names of the fields of kAuditFields the record lacks or holds twice.
inline std::vector<std::string> MissingOrRepeated(const JournalDatagram& record) {
    std::vector<std::string> wrong;
    for (const std::string& name : kAuditFields) {
        if (record.Count(name) != 1) wrong.push_back(name);
    }
    return wrong;
}

// The datagrams parsed; the text of any the parser refuses fails the test.
inline std::vector<JournalDatagram> ParseAll(const std::vector<std::string>& datagrams) {
    std::vector<JournalDatagram> records;
    for (const std::string& datagram : datagrams) {
        try {
            records.push_back(ParseJournalDatagram(datagram));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what() << " in datagram: " << datagram;
        }
    }
    return records;
}

// The records of "deletion run ended" among them.
inline std::vector<JournalDatagram> AuditRecords(const std::vector<JournalDatagram>& records) {
    std::vector<JournalDatagram> audits;
    for (const JournalDatagram& record : records) {
        if (record.Get("MESSAGE_ID") == std::string(ops::kDeletionRunEnded)) audits.push_back(record);
    }
    return audits;
}

// Whether `secret` occurs in any datagram, as it was sent (field names,
// values and lengths alike).
inline bool AnyHolds(const std::vector<std::string>& datagrams, const std::string& secret) {
    for (const std::string& datagram : datagrams) {
        if (datagram.find(secret) != std::string::npos) return true;
    }
    return false;
}

// The one audit record the journal received since the last look, which
// must carry every field; `datagrams` takes all it received.
inline JournalDatagram OneAuditRecord(ScratchJournal& journal, std::vector<std::string>& datagrams) {
    datagrams = journal.Receive();
    const std::vector<JournalDatagram> audits = AuditRecords(ParseAll(datagrams));
    EXPECT_EQ(audits.size(), 1u);
    if (audits.empty()) return {};
    EXPECT_EQ(MissingOrRepeated(audits[0]), std::vector<std::string>{});
    return audits[0];
}

}  // namespace quellmark::test
