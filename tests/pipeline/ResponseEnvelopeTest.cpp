#include "ResponseEnvelope.h"

#include <gtest/gtest.h>

#include "AgentException.h"

using namespace zelvan::fennic;

namespace {

struct EnvelopeCase {
  const char* name;
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
        EnvelopeCase{"Accepted", R"({"validateResponseStatus":true,"ResposeCommand":1,"validateResponse":true})", "true"},
        EnvelopeCase{"Refused", R"({"validateResponseStatus":true,"ResposeCommand":1,"validateResponse":false,
                       "ErrorMessage":"no"})", "false"},
        // Status is tested before the command.
        EnvelopeCase{"StatusBeforeCommand", R"({"validateResponseStatus":false,"ResposeCommand":45,"validateResponse":true})",
                     "agent:Response is false"},
        EnvelopeCase{"UnknownCommand", R"({"validateResponseStatus":true,"ResposeCommand":45,"validateResponse":true})",
                     "agent:Unknown Command received from server"},
        EnvelopeCase{"NoStatus", R"({"ResposeCommand":1,"validateResponse":true})", "json"},
        EnvelopeCase{"StatusNotBoolean", R"({"validateResponseStatus":"yes","ResposeCommand":1,"validateResponse":true})", "json"},
        EnvelopeCase{"NoCommand", R"({"validateResponseStatus":true,"validateResponse":true})", "json"},
        EnvelopeCase{"NoOutcome", R"({"validateResponseStatus":true,"ResposeCommand":1})", "json"},
        EnvelopeCase{"Array", R"([1,2])", "json"}, EnvelopeCase{"Number", R"(3)", "json"},
        EnvelopeCase{"Truncated", R"({"a":)", "json"}),
    [](const ::testing::TestParamInfo<EnvelopeCase>& info) { return std::string(info.param.name); });

}  // namespace
