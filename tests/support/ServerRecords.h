#pragma once

// The local server's request record, read back by the daemon tests: the
// acknowledgements it received and what every one of them must be.

#include <cpprest/json.h>

#include <map>
#include <string>
#include <vector>

namespace fennic_test {

std::string TextOf(const web::json::value& entry, const char* key);
// An integer member, 0 when absent or of another type.
int IdOf(const web::json::value& entry, const char* key);
// Every acknowledged entry (requests of type 11), in the order they came.
std::vector<web::json::value> AcksIn(const std::vector<web::json::value>& records);
bool AckedAs(const std::vector<web::json::value>& records, int id, const std::string& status);
// The first acknowledgement that names no offer by its ids (`uploadOf` maps
// the offered scheduler ids to their upload ids; empty: any nonzero pair),
// says "Success" a second time for one update (counted in `successes`
// across records), or fails without a one-line reason; "" when none.
std::string FirstBadAcknowledgement(const std::vector<web::json::value>& records, std::map<int, int>& successes,
                                    const std::map<int, int>& uploadOf = {});

}  // namespace fennic_test
