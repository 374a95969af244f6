#pragma once
#include <cstdint>
#include <string>

#include "cloud_daemon/domain/entities/device_value.h"

namespace cloud_daemon::domain::interfaces {

// The gateway program's readings, as the cloud publisher uses them.
class IDataCollector {
public:
    virtual ~IDataCollector() = default;
    // Asks for the latest readings; 0, or throws when the gateway program cannot be reached.
    virtual int scan() = 0;
    // Asks for the readings of [start, start + span] at `interval` seconds; 0, or throws.
    virtual int get_data(uint32_t start, uint32_t span, uint32_t interval) = 0;
    // The livedata document of every reading held; empties the readings.
    virtual std::string livedata_string(uint32_t pn, const std::string& sn) = 0;
    // The alarm document of the held alarm, or empty; clears the alarm.
    virtual std::string alarm_string(uint32_t pn, const std::string& sn) = 0;
    virtual uint32_t last_timestamp() = 0;
    virtual entities::CellularSnapshot lte_information() = 0;
};

}  // namespace cloud_daemon::domain::interfaces
