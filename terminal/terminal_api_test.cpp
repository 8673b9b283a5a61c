#include "terminal/terminal_api.h"

#include <gtest/gtest.h>

namespace pmr::terminal {
namespace {

TEST(TerminalApiTest, PersonRecordIsCompactUtf8AndEscaped) {
  EXPECT_EQ(PersonRecord("12", "张三"), "{\"id\":\"12\",\"idcardNum\":\"\",\"name\":\"张三\"}");
  EXPECT_EQ(PersonRecord("1\"", "a\\b\nc"),
            "{\"id\":\"1\\\"\",\"idcardNum\":\"\",\"name\":\"a\\\\b\\u000ac\"}");
}

TEST(TerminalApiTest, Addresses) {
  EXPECT_EQ(TerminalUrl("10.0.0.7", kFaceTakeImg), "http://10.0.0.7:8090/face/takeImg");
  EXPECT_EQ(CallbackUrl("192.168.1.20"), "http://192.168.1.20:8090/index.html");
}

}  // namespace
}  // namespace pmr::terminal
