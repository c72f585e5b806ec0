#include <gtest/gtest.h>

#include "link/port.h"

namespace k7 {
namespace {

TEST(PortName, DosNameBelowTenDeviceNamespaceFromTen) {
    EXPECT_EQ(PortFromNumber(9).device, "COM9:");
    EXPECT_EQ(PortFromNumber(10).device, "\\\\.\\COM10");
    EXPECT_EQ(PortFromNumber(76).label, "COM76");
}

TEST(PortName, ArgumentsNameComPortsOrPaths) {
    PortRef port;
    ASSERT_TRUE(ParsePortArgument("COM7", &port));
    EXPECT_EQ(port.device, "COM7:");
    ASSERT_TRUE(ParsePortArgument("com12", &port));
    EXPECT_EQ(port.label, "COM12");
    ASSERT_TRUE(ParsePortArgument("3", &port));
    EXPECT_EQ(port.label, "COM3");
    ASSERT_TRUE(ParsePortArgument("/dev/ttyUSB0", &port));
    EXPECT_EQ(port.label, "/dev/ttyUSB0");
    EXPECT_EQ(port.device, "/dev/ttyUSB0");

    EXPECT_FALSE(ParsePortArgument("", &port));
    EXPECT_FALSE(ParsePortArgument("COM", &port));
    EXPECT_FALSE(ParsePortArgument("COMx", &port));
    EXPECT_FALSE(ParsePortArgument("9999999999", &port));
}

}  // namespace
}  // namespace k7
