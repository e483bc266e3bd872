#include "app/model/default_pavonix_name.h"

#include <gtest/gtest.h>

namespace pavonix {
namespace {

TEST(DefaultPavonixName, FirstWordOfTheFullNameThenPrettyHostThenHostThenPlain) {
    EXPECT_EQ(defaultPavonixName({"  Ada Lovelace\n", "Stage", "host"}), "Ada's Pavonix");
    EXPECT_EQ(defaultPavonixName({" \t", " Stage Laptop ", "host"}), "Pavonix on Stage Laptop");
    EXPECT_EQ(defaultPavonixName({std::nullopt, "  ", "studio-3"}), "Pavonix on studio-3");
    EXPECT_EQ(defaultPavonixName({"", std::nullopt, "\n"}), "Pavonix");
    EXPECT_EQ(defaultPavonixName({}), "Pavonix");
}

TEST(DefaultPavonixName, GecosNameEndsAtTheFirstComma) {
    EXPECT_EQ(fullNameFromGecos("Grace Hopper,Room 4,555-1234,"), "Grace Hopper");
    EXPECT_EQ(fullNameFromGecos(",,,"), "");
    EXPECT_EQ(defaultPavonixName({fullNameFromGecos(",,,"), std::nullopt, "box"}), "Pavonix on box");
}

TEST(DefaultPavonixName, MachineInfoValuesMayBeQuotedAndTheLastOneWins) {
    EXPECT_EQ(prettyHostNameFromMachineInfo("CHASSIS=laptop\nPRETTY_HOSTNAME=\"Lena's \\\"Mac\\\"\"\n"),
              "Lena's \"Mac\"");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME='Stage PC'\r\n"), "Stage PC");
    EXPECT_EQ(prettyHostNameFromMachineInfo("PRETTY_HOSTNAME=a\nPRETTY_HOSTNAME=Plain"), "Plain");
    EXPECT_EQ(prettyHostNameFromMachineInfo("# PRETTY_HOSTNAME=no\nICON_NAME=x"), std::nullopt);
    EXPECT_EQ(prettyHostNameFromMachineInfo(""), std::nullopt);
}

}  // namespace
}  // namespace pavonix
