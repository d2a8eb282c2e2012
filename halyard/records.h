// The device's PS keys and the two 25-word settings records, word for word as the device
// stores them.
#pragma once

#include <cstdint>

namespace halyard {

inline constexpr uint16_t PSKEY_ADDRESS = 0x0001;  // the chip's address: the unit's serial
inline constexpr uint16_t PSKEY_USR31 = 0x02A9;  // identity: high byte kind, low byte model
inline constexpr uint16_t PSKEY_USR32 = 0x02AA;  // gateway settings record
inline constexpr uint16_t PSKEY_USR33 = 0x02AB;  // handset settings record
inline constexpr uint16_t PSKEY_USR35 = 0x02AD;  // firmware version

inline constexpr int kRecordWords = 25;

// Device kinds (high byte of the identity word).
inline constexpr int kKindHandset = 0xAC;
inline constexpr int kKindGateway = 0xFD;
inline constexpr int kKindOldHandset = 0xAB;  // earlier series, refused
inline constexpr int kKindOldGateway = 0xFE;  // earlier series, refused
// Model (low byte of the identity word): 2 is Veltra Plus, anything else Kordo Plus.
inline constexpr int kModelVeltraByte = 2;

// Handset record word indices.
enum HandsetWord : int {
    HS_FLAGS = 0,
    HS_AUTO_TURN_OFF_HOURS = 1,
    HS_LOW_BATTERY_MILLIVOLTS = 2,
    HS_LOW_BATTERY_INTERVAL = 3,
    HS_INTERNAL_MIC_GAIN = 4,
    HS_INTERNAL_MIC_BOOST = 5,
    HS_EXTERNAL_MIC_GAIN = 6,
    HS_EXTERNAL_MIC_BOOST = 7,
    HS_REMOTE_PTT_BOOST = 8,
    HS_ALERT_TONE_VOLUME = 9,
    HS_AUDIO_LINK_ACTIVE_TIME = 10,
    HS_TRANSMIT_TIME = 11,
    HS_RECEIVE_TIME = 12,
    HS_EMERGENCY_REPEAT_CYCLES = 13,
    HS_LONG_PRESS_DURATION = 14,
    HS_KEY_PTT = 15,
    HS_KEY_TOP1 = 16,
    HS_KEY_TOP2 = 17,
    HS_KEY_LEFT1 = 18,
    HS_KEY_LEFT2 = 19,
    HS_KEY_RIGHT1 = 20,
    HS_AUDIO_INTEGRITY = 21,
    HS_KEY_ACC_PTT = 22,
    HS_RELAY_AND_TOGGLE = 23,
    HS_MINIMUM_LINK_QUALITY = 24,
};

// Handset flag word bit kept by the device: never edited, programming keeps its value.
inline constexpr uint16_t kHandsetDeviceOwnedBit = 1u << 2;

// Gateway record word indices; line i has its line word at GW_LINES + 2 i, its pulse after it.
enum GatewayWord : int {
    GW_FLAGS = 0,
    GW_TALK_AROUND_GAIN = 1,
    GW_RECEIVE_GAIN = 2,
    GW_TRANSMIT_GAIN = 3,
    GW_VOX_TRIGGER_LEVEL = 4,
    GW_LINES = 5,
};

// Gateway flag word bit 9: the remote find-me function (not carried by settings files).
inline constexpr uint16_t kGatewayRemoteFindMeBit = 1u << 9;
// Gateway flag word bit 10: the gateway is a Veltra Plus gateway; owned by the device.
inline constexpr uint16_t kGatewayVeltraBit = 1u << 10;

// What each record word holds, for messages that name words.
inline constexpr const char* kHandsetWordNames[kRecordWords] = {
    "flags",
    "auto turn-off timer",
    "low-battery beep voltage",
    "low-battery beep interval",
    "internal mic gain",
    "internal mic high gain boost",
    "external mic gain",
    "external mic high gain boost",
    "remote PTT gain boost",
    "alert tone volume",
    "audio link active time",
    "emergency transmit time",
    "emergency receive time",
    "emergency repeat cycles",
    "long-press duration",
    "PTT key word",
    "Top 1 key word",
    "Top 2 key word",
    "Left 1 key word",
    "Left 2 key word",
    "Right 1 key word",
    "audio integrity",
    "Acc PTT key word",
    "relay mode and PTT toggle",
    "minimum link quality",
};
inline constexpr const char* kGatewayWordNames[kRecordWords] = {
    "flags",
    "talk-around output gain",
    "receive input gain",
    "transmit output gain",
    "VOX trigger level",
    "Radio PTT line",
    "Radio PTT pulse",
    "Radio Emergency line",
    "Radio Emergency pulse",
    "Radio COR line",
    "Radio COR pulse",
    "Function 1 line",
    "Function 1 pulse",
    "Function 2 line",
    "Function 2 pulse",
    "Function 3 line",
    "Function 3 pulse",
    "Function 4 line",
    "Function 4 pulse",
    "Function 5 line",
    "Function 5 pulse",
    "Function 6 line",
    "Function 6 pulse",
    "reserved",
    "reserved",
};

struct hs_xsettings_t {
    uint16_t word[kRecordWords] = {};
};
struct gw_xsettings_t {
    uint16_t word[kRecordWords] = {};
};
static_assert(sizeof(hs_xsettings_t) == 2 * kRecordWords);
static_assert(sizeof(gw_xsettings_t) == 2 * kRecordWords);

}  // namespace halyard
