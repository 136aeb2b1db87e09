/* ZentrelSignal: instruments, recorded files and generators through flat C exports.
 *
 * Every function uses the Windows standard calling convention on Windows (__stdcall,
 * undecorated names) and the platform's C convention elsewhere. Text buffers are UTF-16
 * with a capacity in characters. No function throws or crashes on bad arguments: each
 * reports failure through its result, as noted beside it.
 *
 * Device index: below 256 a position in the device list; from 256 up the identifier of an
 * open recorded file. */
#ifndef ZENTREL_SIGNAL_H
#define ZENTREL_SIGNAL_H

#include <stdint.h>

#if defined(_WIN32)
#define ZS_CALL __stdcall
#define ZS_CDECL __cdecl
typedef wchar_t ZS_WCHAR;
#else
#define ZS_CALL
#define ZS_CDECL
typedef uint16_t ZS_WCHAR;
#endif

#if defined(ZS_BUILDING_LIBRARY) && !defined(_WIN32)
#define ZS_EXPORT __attribute__((visibility("default")))
#else
#define ZS_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Fills one raw-signal output block on the device's I/O thread: 170 items of 3 bytes in the
 * 510-byte payload. C calling convention. */
typedef void(ZS_CDECL* ZS_SignalSendCallback)(uint8_t* payload, int32_t count, int32_t user);

/* Library */

/* The library's version: 0x0002000B (131083). */
ZS_EXPORT int32_t ZS_CALL K427_GetLibraryVersion(void);
/* Number of devices in the device list (recorded files are not counted). */
ZS_EXPORT int32_t ZS_CALL K427_GetDeviceCount(void);

/* Device queries */

/* Index below 256: a device; from 256: an open recorded file. Unknown index: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetDeviceType(int32_t index);
/* Low 8 bits of the measuring-range word. Unknown index: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetDeviceRange(int32_t index);
/* Serial number (VIN); -1 until known. Unknown index: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetDeviceVIN(int32_t index);
/* Start/stop state word. Unknown index: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetStartStopState(int32_t index);
/* Overflow flags of channel 0..7. Unknown index or channel >= 8: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetOverflowState(int32_t index, int32_t channel);
/* Underrange flags of channel 0..7. Unknown index or channel >= 8: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetUnderrangeState(int32_t index, int32_t channel);
/* 1 while the device delivers packets; 1 for an open file. Unknown index: 0. */
ZS_EXPORT int32_t ZS_CALL K427_IsDeviceOnLine(int32_t index);

/* The following take device positions only. */

/* High-speed flag. Unknown device: 0. */
ZS_EXPORT int32_t ZS_CALL K427_IsDeviceHighSpeed(int32_t index);
/* Number of channels with values. Unknown device: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetChannelN(int32_t index);
/* Sampling frequency in Hz. Unknown device: 0.0. */
ZS_EXPORT double ZS_CALL K427_GetFSampling(int32_t index);
/* Correction (dB), sensor sensitivity and kBase of a channel below the larger of the sensor
 * and channel counts. Unknown device or channel: 0.0. */
ZS_EXPORT double ZS_CALL K427_GetCorrection(int32_t index, int32_t channel);
ZS_EXPORT double ZS_CALL K427_GetSensor(int32_t index, int32_t channel);
ZS_EXPORT double ZS_CALL K427_GetKBase(int32_t index, int32_t channel);
/* Raw-signal base level of channel 0..7. Unknown device or channel: 0.0. */
ZS_EXPORT double ZS_CALL K427_GetBaseLevel(int32_t index, int32_t channel);
/* Date and time of a device's last record, or (index from 256) of a file's current record,
 * as an OLE Automation date (local time). Unknown index or no valid date: 0.0. */
ZS_EXPORT double ZS_CALL K427_GetDateTime(int32_t index);
/* timeoutMs > 0: 1 if a packet arrives within the time; 0: 1 once per new packet. */
ZS_EXPORT int32_t ZS_CALL K427_WaitForTelePacket(int32_t index, uint32_t timeoutMs);
/* Next write position in the raw-signal buffer. Unknown device: null. */
ZS_EXPORT double* ZS_CALL K427_GetWPtr(int32_t index);
/* Sets (or, with null, clears) the raw-signal output callback and its user value. */
ZS_EXPORT void ZS_CALL K427_RegisterCallbackForSignalSend(int32_t index,
                                                          ZS_SignalSendCallback callback,
                                                          int32_t user);
/* sMode of the first device (0 = measurement mode); -1 when there is no device. */
ZS_EXPORT int32_t ZS_CALL GetTeleType(void);

/* Data access */

/* rows[row].values[group][averagingIndex][column] (row 0..7, group 0..2); a column past the
 * values reads the group's band frequencies. Anything out of range: -1.0. */
ZS_EXPORT double ZS_CALL K427_GetData(int32_t index, int32_t row, int32_t group,
                                      int32_t averagingIndex, int32_t column);
/* Name of an averaging index; returns its full length, writes at most bufferLength - 1
 * characters and a zero. None (or a null buffer): 0 and an empty text. */
ZS_EXPORT int32_t ZS_CALL K427_GetAverName(int32_t index, int32_t group, int32_t averagingIndex,
                                           ZS_WCHAR* buffer, int32_t bufferLength);
/* Label of a band column: its frequency ("%.2lf") or its band name; as K427_GetAverName. */
ZS_EXPORT int32_t ZS_CALL K427_GetBandName(int32_t index, int32_t group, int32_t averagingIndex,
                                           int32_t band, ZS_WCHAR* buffer, int32_t bufferLength);
/* Power spectrum in dB of the newest 65536 tele-ring samples of the first device, bins 273 to
 * 10922 into output[0..10649]. 1 when written; 0 without a device in tele mode. */
ZS_EXPORT int32_t ZS_CALL GetSpectrum(double* output, int32_t useWindow);

/* Device lists and network attach */

/* Appends every accepted USB instrument (FTDI, then WinUSB), identifies and starts them:
 * the size of the device list, or 0 when none is listed. */
ZS_EXPORT int32_t ZS_CALL K427_BuildFList(void);
/* Appends the "Brevane L700" instruments at 768000 bit/s: the list's size, or 0. */
ZS_EXPORT int32_t ZS_CALL K427_BuildL700List(void);
/* Appends the "Brevane QM730" generators: the list's size, or 0 when none was added. */
ZS_EXPORT int32_t ZS_CALL QM730_BuildQM730List(void);
/* Stops every device, switches its stream off and empties the list. Always 0. */
ZS_EXPORT int32_t ZS_CALL K427_FreeFList(void);
/* Reopens and re-identifies the device at a list position, which it keeps: 1, or 0 for an
 * unknown position or a device that cannot be found again. */
ZS_EXPORT int32_t ZS_CALL K427_ReconnectDevice(int32_t index);
/* As K427_ReconnectDevice, keeping the USB handle open. */
ZS_EXPORT int32_t ZS_CALL K427_ReconnectDeviceSoft(int32_t index);
/* Connects to the Wi-Fi instrument at deviceAddress ("a.b.c.d") from localAddress (null: the
 * first adapter on its network), one device per channel: 1 when the instrument answered the
 * connection, else 0. *index (may be null): -1, then the list position of its last channel
 * when it added one. */
ZS_EXPORT int32_t ZS_CALL K427_AttachWiFiDevice(const ZS_WCHAR* localAddress,
                                                const ZS_WCHAR* deviceAddress, int32_t* index);
/* Queries Ethernet instruments at address, which may be a broadcast one (null: every
 * adapter's broadcast address): how many were added, 0 for none or when no query could be
 * sent. *index (may be null): -1, then the last list position. */
ZS_EXPORT int32_t ZS_CALL K427_AttachEthDevice(const ZS_WCHAR* address, int32_t* index);

/* Tele mode and virtual devices */

/* Lists the USB instruments and runs the first one as a remote sensor: its raw signal flows
 * into the process's tele ring (131072 doubles, made once) for GetSpectrum, in stream mode
 * `mode`. 1 when there is a first instrument, else 0. */
ZS_EXPORT int32_t ZS_CALL TurnOnTele(int32_t mode);
/* Releases the device list as K427_FreeFList; the tele ring stays for the next TurnOnTele.
 * Always 0. */
ZS_EXPORT int32_t ZS_CALL TurnOffTele(void);
/* Binds a host buffer of `length` doubles as the raw-signal ring of the device at a list
 * position, writing from its start. The buffer must stay valid until another is bound or the
 * list is freed. An unknown position changes nothing. */
ZS_EXPORT void ZS_CALL K427_Configure(uint32_t index, double* buffer, int32_t length);
/* Switches the instrument at a list position to measurement program `program` and reconnects
 * it softly at the same position: 1, or 0 for an unknown position (at once) or a failed
 * reconnect. */
ZS_EXPORT int32_t ZS_CALL K427_SelectVirtualDevice(uint32_t index, int32_t program);
/* Asks the instrument at a list position to switch itself off (waits up to 500 ms for it to
 * take the command). An unknown position does nothing. */
ZS_EXPORT void ZS_CALL K427_SwitchOffVirtualDevice(uint32_t index);

/* Recorded files */

/* Opens a recorded file: its identifier (256 and up), -1 when it cannot be opened, -2 when
 * no description matches it. Record 0 is decoded. */
ZS_EXPORT int32_t ZS_CALL K427_OpenFile(const ZS_WCHAR* path);
/* Whole records in the file. Unknown identifier: 0. */
ZS_EXPORT int32_t ZS_CALL K427_GetNumRecords(int32_t fileId);
/* Reads and decodes record recordNumber (from 0): 1, or 0 when it cannot be read. */
ZS_EXPORT int32_t ZS_CALL K427_SetToRecord(int32_t fileId, int32_t recordNumber);
/* Closes the file; an unknown identifier is ignored. */
ZS_EXPORT void ZS_CALL K427_CloseFile(int32_t fileId);

/* Control commands */

/* Switches device `index` (a list position) between measurement-stream mode (0) and
 * raw-signal mode (non-zero), restarting its I/O thread. 1 when the device exists (even if
 * nothing changed); 0 otherwise. */
ZS_EXPORT int32_t ZS_CALL K427_SetSMode(uint32_t index, int32_t mode);

/* The commands below are carried out by the device's I/O thread on its next pass. The
 * mailbox commands wait up to 500 ms for it and report nothing; an unknown index, a
 * negative value or a refused argument has no effect. */

/* Resets the instrument's measurement. */
ZS_EXPORT void ZS_CALL K427_SendResetCmd(int32_t index);
/* Toggles measuring. */
ZS_EXPORT void ZS_CALL K427_SendStartStopCmd(int32_t index);
/* Starts measuring. */
ZS_EXPORT void ZS_CALL K427_SendStartCmd(int32_t index);
/* Stops measuring. */
ZS_EXPORT void ZS_CALL K427_SendStopCmd(int32_t index);
/* Selects measuring range 0..3. */
ZS_EXPORT void ZS_CALL K427_SendRangeCmd(int32_t index, int32_t range);
/* Sets the polarity (0 or non-zero). */
ZS_EXPORT void ZS_CALL K427_SendPolCmd(int32_t index, int32_t polarity);
/* Switches the ICP sensor supply (0 or non-zero). */
ZS_EXPORT void ZS_CALL K427_SendIcpModeCmd(int32_t index, int32_t mode);
/* Switches the zero-channel mode (0 or non-zero). */
ZS_EXPORT void ZS_CALL K427_SendZChModeCmd(int32_t index, int32_t mode);
/* Restarts the instrument through its reset line; it is offline while it restarts. */
ZS_EXPORT void ZS_CALL K427_ResetDevice(int32_t index);
/* Sets the instrument's clock to this computer's local date and time. */
ZS_EXPORT void ZS_CALL K427_SetDateTime(int32_t index);
/* Raw-signal recording at *rate Hz (a supported rate), *gain in steps of 0.5, channels of
 * channelMask (1..15); raw-signal recorders only. Null pointers or anything else: no effect. */
ZS_EXPORT void ZS_CALL K427_SendSigRegModeCmd(int32_t index, const double* rate, const double* gain,
                                              uint32_t channelMask);
/* Calibration of a channel: correction, sensitivity and base coefficient. Waits up to 500 ms
 * for the queue of such commands to drain; a full queue drops it. Null pointer: no effect. */
ZS_EXPORT void ZS_CALL K427_SendCalibrationCmd(int32_t index, int32_t channel,
                                               const double* correction, const double* sensitivity,
                                               const double* kBase);
/* Band selection: *frequency Hz, bandwidth code, six ratio words. Waits up to 500 ms. A
 * frequency the instrument cannot take, a first ratio of 0 (sync instruments) or a null
 * pointer: no effect. */
ZS_EXPORT void ZS_CALL K427_SendSetBandsCmd(int32_t index, const double* frequency,
                                            int32_t bandwidthCode, const int32_t* ratios);
/* Five low-frequency bands around *centre Hz, bandwidth index 0..18 (1 Hz .. 1 kHz), on the
 * low-frequency analyser only. Waits up to 500 ms. Anything else: no effect. */
ZS_EXPORT void ZS_CALL K427_SendSetBandsCmdLF(int32_t index, const double* centre,
                                              int32_t bandwidthIndex);
/* Generator amplitude in percent (100 % = full scale; clamped to 0..full scale). 1 when
 * queued; 0 for an unknown index or NaN. */
ZS_EXPORT int32_t ZS_CALL QM730_SetAmp(int32_t index, double amplitude);
/* Generator frequency in Hz (0 up to 4 MHz). 1 when queued; 0 for an unknown index or a
 * frequency outside that range. */
ZS_EXPORT int32_t ZS_CALL QM730_SetFrequency(int32_t index, double frequency);
/* Generator level (16.16 fixed point, -32768 up to 32768). 1 when queued; 0 for an unknown
 * index or a level outside that range. */
ZS_EXPORT int32_t ZS_CALL QM730_SetLevel(int32_t index, double level);
/* Signal generators and output modules */

/* Rebuilds the generator list (serial ports, VISA USB instruments, output modules) and
 * returns how many it holds; 0 when none answer. On Linux the serial ports tried are
 * /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* and the paths listed in ZS_SERIAL_PORTS (':'). */
ZS_EXPORT int32_t ZS_CALL K427_BuildGenList(void);
/* Number of generators in the list. */
ZS_EXPORT int32_t ZS_CALL K427_GetGenCount(void);
/* Maker and model of generator index; returns the text's full length, writes at most
 * bufferLength - 1 characters and a zero. Unknown index or unanswered generator: 0 and an
 * empty text. Null buffer or length below 1: 0, nothing written. */
ZS_EXPORT int32_t ZS_CALL K427_GetGenName(int32_t index, ZS_WCHAR* buffer, int32_t bufferLength);
/* Settings of generator index on channel 0..8 (0 is the first). Each returns 1 when the
 * generator took the setting, 0 for an unknown index, a generator that cannot be opened, a
 * channel of 9 or more, a value the generator refuses or a failed send. */
ZS_EXPORT int32_t ZS_CALL K427_GenSetFreq(int32_t index, double hz, int32_t channel);
/* Amplitude in volts of the current unit (above 0). */
ZS_EXPORT int32_t ZS_CALL K427_GenSetLevel(int32_t index, double volts, int32_t channel);
/* Offset in volts (above 0 for SCPI generators; only 0 for output modules). */
ZS_EXPORT int32_t ZS_CALL K427_GenSetOffset(int32_t index, double volts, int32_t channel);
/* Amplitude unit: 1 RMS volts, 2 peak-to-peak volts. */
ZS_EXPORT int32_t ZS_CALL K427_GenSetUnits(int32_t index, int32_t units, int32_t channel);
/* Output on (nonzero) or off. */
ZS_EXPORT int32_t ZS_CALL K427_GenSetOutputState(int32_t index, int32_t on, int32_t channel);
/* Output load in ohms; negative means high impedance. */
ZS_EXPORT int32_t ZS_CALL K427_GenSetOutputLoad(int32_t index, double ohms, int32_t channel);
/* Waveform: 1 sine, 2 square (1..5 on a "StanfordResearchSystems" generator). */
ZS_EXPORT int32_t ZS_CALL K427_GenSetSignalType(int32_t index, int32_t waveform, int32_t channel);

#ifdef __cplusplus
}
#endif

#endif /* ZENTREL_SIGNAL_H */
