#ifndef ONDIRA_SIM_H
#define ONDIRA_SIM_H

/*
 * Control interface of the virtual headset: a stand-in for the FTDI D2XX
 * driver library that models attached USB dongles, each with a headset behind
 * its radio link. The same shared library exports the D2XX entry points
 * (FT_Open, FT_ListDevices, ..., declared in ondira_sim_d2xx.h) and the
 * functions below.
 *
 * Configuration is a list of key=value pairs separated by blanks or ';', the
 * same text that the environment variable ONDIRA_SIM holds. A key applies to
 * every device, or to device N only when written "N.key=value" (N from 0).
 * Keys apply in the order written: "loss=0.1 1.loss=0" spares device 1.
 * An unknown key or a bad value is reported on standard error together with
 * the list of valid keys, and every virtual device then refuses to open.
 *
 * Global keys:
 *   devices=N            attached devices, 0..16 (default 1)
 *   dongle_index=N       only device N has an answering dongle; the others
 *                        are silent FTDI devices (default: every device answers)
 *   timescale=F          model clock speed relative to real time, 0.001..1000
 *                        (default 1)
 *   fast=0|1             data packets are delivered as fast as the host reads
 *                        them, and replies without radio delay (default 0)
 *   seed=N               seed of every random choice (default 1)
 *   capture=PATH         append every byte the host writes, with time stamps
 *   list_fails=0|1       FT_ListDevices fails (default 0)
 *
 * Per-device keys:
 *   address=N            dongle address, decimal or 0x-hex (default 0x1234 +
 *                        0x10 x device index); the headset answers at address + 1
 *   silent=0|1           the dongle answers nothing (default 0); what the
 *                        headset sends still passes
 *   headset=on|off       headset switched on (default on); off: it neither
 *                        answers nor streams
 *   radio_delay_ms=N     model delay before a reply arrives (default 5)
 *   fw_dongle=N          dongle firmware version byte (default 12)
 *   fw_headset=N         headset firmware version byte (default 23)
 *   channel_dongle=N     dongle radio channel (default 9)
 *   channel_headset=N    headset radio channel (default 9)
 *   ignore_stop=0|1      the headset keeps streaming after a stop command
 *   loss=P               probability 0..1 that a data packet is lost
 *   drop=A,B,...         numbers of data packets to lose, counted from 0 for
 *                        the first packet sent since configuration (packet n
 *                        carries sequence number n modulo 256)
 *   garbage=P            probability 0..1 of 1..16 garbage bytes before a packet
 *   refuse_open=0|1      FT_Open of this device fails
 *   unplug_after_ms=N    model time after FT_Open at which the device is
 *                        unplugged: FT_GetStatus, FT_Read and FT_Write fail
 *                        (once per configuration)
 *   replug_after_ms=N    model time after an unplug (timed or by
 *                        ondira_sim_unplug) at which the device is plugged in
 *                        again: it opens anew, a handle held from before the
 *                        unplug stays dead until closed
 *   unplug_after_packets=N  the device is unplugged instead of sending data
 *                        packet N (counted from 0 since configuration), once
 *                        per configuration: every packet before it can arrive
 *   hold=0|1             while 1, a stream sends no data packet; it goes on
 *                        from the next packet number once released (default 0)
 *   fail_writes_after=N  FT_Write fails once N commands were received
 *   fail_close=0|1       FT_Close fails (the handle is released all the same)
 *   fail=NAME,...        these D2XX entry points fail, e.g.
 *                        fail=FT_SetDataCharacteristics,FT_Purge
 *   level=A,B,C,D        DC level of each channel in raw units at offset 512
 *                        (default 32768,700,64600,30000: channels 2 and 3
 *                        start outside 1000..64000)
 *   offset_gain=N        raw units the DC level rises per unit the offset is
 *                        lowered (default 40)
 *   alpha=N              amplitude of the 10 Hz rhythm, raw units (default 60)
 *   noise=N              amplitude of the broadband noise, raw units (default 20)
 *   hum=0|50|60          mains hum frequency, 0 for none (default 0)
 *   overcount=0|1        FT_Read and FT_Write report one byte more than they
 *                        moved, as a misbehaving driver might (default 0)
 *
 * Signal: every sample is a pure function of the seed, the device, its
 * signal keys (level, offset_gain, alpha, noise, hum) and its offset
 * registers; ondira_sim_sample recomputes any of them, so that a test can
 * check every sample that reached an application.
 *
 * Time: the model clock runs `timescale` times real time from the last
 * configuration. Data packets (59 bytes, five samples) leave the headset every
 * 20 ms of model time while it streams; every byte reaches the receive queue
 * 10 bits / baud rate after the previous one (9600 baud until the host sets a
 * rate). FT_Read returns at once when the bytes asked for wait, else when they
 * have arrived or the read timeout (real time) has passed. With fast=1 a data
 * packet is generated whenever the host finds fewer bytes than it asks for.
 *
 * All functions are thread-safe.
 */

#include <stddef.h>

#if defined(__GNUC__)
#  define ONDIRA_SIM_API __attribute__((visibility("default")))
#else
#  define ONDIRA_SIM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Replaces the whole virtual world by a new one built from `config` (NULL or
 * "" gives the defaults). Every handle becomes invalid and every record is
 * cleared. Returns 0, or -1 for an invalid configuration (see above). */
ONDIRA_SIM_API int ondira_sim_configure(const char* config);

/* Changes keys of one running device (or of every device for -1) without
 * resetting it, e.g. "headset=off" in the middle of a stream. Global keys are
 * refused. Returns 0, or -1 for an invalid key or value. */
ONDIRA_SIM_API int ondira_sim_set(int device, const char* config);

/* The message of the last refused configuration, "" if none. The text stays
 * valid until the next configuration call. */
ONDIRA_SIM_API const char* ondira_sim_last_error(void);

/* Number of attached virtual devices. */
ONDIRA_SIM_API int ondira_sim_device_count(void);

typedef struct OndiraSimDeviceState {
    int open;                       /* a handle is held */
    int unplugged;
    int streaming;                  /* the headset sends data packets */
    unsigned int dongleAddress;
    unsigned int openCount;         /* successful FT_Open calls */
    unsigned int closeCount;        /* FT_Close calls on a held handle */
    unsigned int resetCount;        /* FT_ResetDevice calls */
    unsigned int purgeCount;        /* FT_Purge calls */
    unsigned int lastPurgeMask;
    unsigned int baudRate;          /* as last set by the host (0 before) */
    unsigned int wordLength;
    unsigned int stopBits;
    unsigned int parity;
    unsigned int readTimeout;
    unsigned int writeTimeout;
    unsigned int latencyTimer;
    unsigned int commandCount;      /* complete command packets received */
    unsigned long long packetsSent; /* data packets put on the wire */
    unsigned long long packetsLost; /* data packets lost on the radio link */
    int offsets[4];                 /* the headset's offset registers */
    int dongleChannel;              /* radio channels */
    int headsetChannel;
} OndiraSimDeviceState;

/* State of device `device`; 0 on success, -1 for a device that does not exist. */
ONDIRA_SIM_API int ondira_sim_get_state(int device, OndiraSimDeviceState* state);

/* Every byte the host wrote to the device since configuration, in order.
 * Copies at most `capacity` bytes and returns the total count. */
ONDIRA_SIM_API size_t ondira_sim_written(int device, unsigned char* buffer, size_t capacity);

typedef struct OndiraSimCommand {
    double timeMs;             /* real milliseconds since configuration */
    unsigned int zeroPrefix;   /* 0x00 bytes written directly before it */
    unsigned int length;       /* bytes of the command, length byte included */
    unsigned char bytes[32];
} OndiraSimCommand;

/* Number of complete command packets the device received. */
ONDIRA_SIM_API int ondira_sim_command_count(int device);
/* Command `index` (from 0); 0 on success, -1 if there is none. */
ONDIRA_SIM_API int ondira_sim_get_command(int device, int index, OndiraSimCommand* command);

/* Real milliseconds since the last configuration, on the clock that
 * ondira_sim_packet_arrival uses. */
ONDIRA_SIM_API double ondira_sim_now_ms(void);

/* When the last byte of data packet `packet` (counted from 0 for the first
 * packet sent since configuration) entered the device's receive queue, in
 * real milliseconds since the configuration. 0 on success; -1 when the packet
 * was lost, has not arrived yet, or is one of the older ones no longer
 * remembered (the last 4096 are). */
ONDIRA_SIM_API int ondira_sim_packet_arrival(int device, unsigned long long packet, double* realMs);

/* The raw channel values (0..65535) of sample `sampleIndex` of device
 * `device`: sample n is sample n mod 5 of data packet n / 5, counted from 0
 * for the first packet since the configuration (packet p carries sequence
 * number p mod 256). Computed with the device's signal keys and offset
 * registers as they are now; the same whether or not the packet was lost or
 * is still to come. Returns 0, or -1 for a device that does not exist. */
ONDIRA_SIM_API int ondira_sim_sample(int device, unsigned long long sampleIndex, unsigned short raw[4]);

/* Unplugs the device now: FT_GetStatus, FT_Read and FT_Write fail from then on. */
ONDIRA_SIM_API void ondira_sim_unplug(int device);

/* Plugs an unplugged device in again: FT_Open succeeds on it once the handle
 * held from before the unplug (which stays dead) is closed. The bytes that
 * were on their way to the host are gone; the headset is not affected. */
ONDIRA_SIM_API void ondira_sim_replug(int device);

#ifdef __cplusplus
}
#endif

#endif
