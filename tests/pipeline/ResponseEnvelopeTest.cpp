#include "ResponseEnvelope.h"

#include <gtest/gtest.h>

#include "AgentException.h"

using namespace zelvan::fennic;

namespace {

struct EnvelopeCase {
  const char* answer;
  const char* outcome;  // "true", "false", or the exception text
};

class ValidateResponseTest : public ::testing::TestWithParam<EnvelopeCase> {};

std::string Classify(const std::string& text) {
  try {
    return ValidateResponse(ParseAnswer(text)) ? "true" : "false";
  } catch (const AgentException& e) {
    return std::string("agent:") + e.what();
  } catch (const web::json::json_exception&) {
    return "json";
  }
}

TEST_P(ValidateResponseTest, ChecksInFixedOrder) { EXPECT_EQ(Classify(GetParam().answer), GetParam().outcome); }

INSTANTIATE_TEST_SUITE_P(
    Envelope, ValidateResponseTest,
    ::testing::Values(
        EnvelopeCase{R"({"validateResponseStatus":true,"ResposeCommand":1,"validateResponse":true})", "true"},
        EnvelopeCase{R"({"validateResponseStatus":true,"ResposeCommand":1,"validateResponse":false,
                       "ErrorMessage":"no"})", "false"},
        // Status is tested before the command.
        EnvelopeCase{R"({"validateResponseStatus":false,"ResposeCommand":45,"validateResponse":true})",
                     "agent:Response is false"},
        EnvelopeCase{R"({"validateResponseStatus":true,"ResposeCommand":45,"validateResponse":true})",
                     "agent:Unknown Command received from server"},
        EnvelopeCase{R"({"ResposeCommand":1,"validateResponse":true})", "json"},
        EnvelopeCase{R"({"validateResponseStatus":"yes","ResposeCommand":1,"validateResponse":true})", "json"},
        EnvelopeCase{R"({"validateResponseStatus":true,"validateResponse":true})", "json"},
        EnvelopeCase{R"({"validateResponseStatus":true,"ResposeCommand":1})", "json"},
        EnvelopeCase{R"([1,2])", "json"}, EnvelopeCase{R"(3)", "json"}, EnvelopeCase{R"({"a":)", "json"}));

TEST(ResponseEnvelopeTest, MemberAsTextStripsQuotesOfStringsOnly) {
  EXPECT_EQ(ReadMemberAsText(web::json::value::string("Acme \xC3\xA9")), "Acme \xC3\xA9");
  EXPECT_EQ(ReadMemberAsText(web::json::value::number(42)), "42");
  EXPECT_EQ(ReadMemberAsText(web::json::value::boolean(true)), "true");
  EXPECT_EQ(ReadMemberAsText(web::json::value::string("")), "");
}

}  // namespace
