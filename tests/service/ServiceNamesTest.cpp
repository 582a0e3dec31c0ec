#include "service/ServiceUtil.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ServiceNames, StartEmpty) {
  EXPECT_STREQ("", CWMIServiceUtil::GetServiceName());
  EXPECT_STREQ("", CWMIServiceUtil::GetDisplayName());
  EXPECT_EQ(nullptr, CWMIServiceUtil::GetWMIService());
}

TEST(ServiceNames, EmptyOrNullLeavesTheFieldAlone) {
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetServiceName("evtsvc"));
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetServiceName(""));
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetServiceName(nullptr));
  EXPECT_STREQ("evtsvc", CWMIServiceUtil::GetServiceName());
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetDisplayName("shown"));
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetDisplayName(nullptr));
  EXPECT_STREQ("shown", CWMIServiceUtil::GetDisplayName());
}

TEST(ServiceNames, LongestNamesFitAndLongerAreRefusedWhole) {
  const std::string fits(255, 'a'), tooLong(256, 'b');
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetServiceName(fits.c_str()));
  EXPECT_EQ(ecBadParameter, CWMIServiceUtil::SetServiceName(tooLong.c_str()));
  EXPECT_EQ(fits, CWMIServiceUtil::GetServiceName());
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetDisplayName(fits.c_str()));
  EXPECT_EQ(ecBadParameter, CWMIServiceUtil::SetDisplayName(tooLong.c_str()));
  EXPECT_EQ(fits, CWMIServiceUtil::GetDisplayName());
  EXPECT_EQ(ecNoError, CWMIServiceUtil::SetFullPathName(std::string(259, 'p').c_str()));
  EXPECT_EQ(ecBadParameter, CWMIServiceUtil::SetFullPathName(std::string(260, 'p').c_str()));
}

}  // namespace
