// The LPC17xx boot ROM stand-in as every test uses it: when it goes, the
// test fails for each copy to flash that reached bytes programmed since
// their last erase, which a real chip would leave holding the AND of both.
#pragma once

#include "tests/sim/lpc_isp_rom.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sim {

class CheckedLpcIspRom : public LpcIspRom {
public:
    using LpcIspRom::LpcIspRom;
    ~CheckedLpcIspRom() override
    {
        EXPECT_EQ(counters().copiesOntoProgrammed, std::vector<std::string>{})
            << "copies onto flash programmed since its last erase";
    }
};

} // namespace sim
