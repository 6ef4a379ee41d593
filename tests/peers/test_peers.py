#!/usr/bin/python3
"""Tests of the simulated peers themselves: frame and datagram layouts, and the
TCI server against an independent WebSocket client (Python websockets)."""

import asyncio
import os
import socket
import struct
import sys
import time
import unittest
import xml.etree.ElementTree as ET

import numpy as np
import websockets

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import n1mm  # noqa: E402
import tci_server  # noqa: E402
import tarnwick_process  # noqa: E402
from tci_server import Band, CwSignal, SsbSignal, Tone, build_iq_frame, parse_iq_frame  # noqa


class IqFrameLayout(unittest.TestCase):
    def test_header_fields_and_size(self):
        samples = np.arange(2048, dtype=np.float32) + 1j * -np.arange(2048, dtype=np.float32)
        frame = build_iq_frame(3, 48000, samples)
        self.assertEqual(len(frame), 64 + 2048 * 8)
        fields = struct.unpack_from("<16I", frame, 0)
        # receiver, rate, format float32, codec, crc, floats, type IQ, channels, reserved
        self.assertEqual(fields[:8], (3, 48000, 3, 0, 0, 4096, 0, 2))
        self.assertEqual(fields[8:], (0,) * 8)

    def test_data_is_little_endian_i_then_q(self):
        frame = build_iq_frame(0, 48000, np.array([1.5 - 2.25j, -0.5 + 4j]))
        self.assertEqual(struct.unpack_from("<4f", frame, 64), (1.5, -2.25, -0.5, 4.0))
        self.assertEqual(frame[64:68], struct.pack("<f", 1.5))

    def test_round_trip(self):
        rng = np.random.default_rng(5)
        samples = (rng.standard_normal(2048) + 1j * rng.standard_normal(2048)).astype(np.complex64)
        parsed = parse_iq_frame(build_iq_frame(1, 96000, samples, stream_type=0))
        self.assertEqual((parsed.receiver, parsed.sample_rate, parsed.length), (1, 96000, 4096))
        np.testing.assert_array_equal(parsed.samples, samples)

    def test_parse_refuses_a_length_beyond_the_data(self):
        frame = bytearray(build_iq_frame(0, 48000, np.zeros(16)))
        struct.pack_into("<I", frame, 20, 4096)
        with self.assertRaises(ValueError):
            parse_iq_frame(bytes(frame))


class Signals(unittest.TestCase):
    FS = 48000

    def spectrum_peak(self, samples):
        return int(np.argmax(np.abs(np.fft.fft(samples))))

    def test_tone_at_plus_3khz_lands_in_bin_256(self):
        block = Band([Tone(3000.0, 0.1)], noise=1e-3).render(0, 4096, self.FS)
        self.assertEqual(self.spectrum_peak(block), 256)

    def test_negative_offset_lands_in_the_upper_half(self):
        block = Band([Tone(-3000.0, 0.1)], noise=1e-3).render(0, 4096, self.FS)
        self.assertEqual(self.spectrum_peak(block), 4096 - 256)

    def test_frames_join_without_a_phase_jump(self):
        for sig in (Tone(1234.5, 0.2), CwSignal(-700.0, 0.3, "TEST", 30), SsbSignal(5000, 0.1)):
            whole = sig.render(0, 4096, self.FS)
            halves = np.concatenate([sig.render(0, 2048, self.FS), sig.render(2048, 2048, self.FS)])
            np.testing.assert_allclose(halves, whole, atol=1e-9, err_msg=repr(sig))

    def test_morse_pattern(self):
        self.assertEqual(list(tci_server.morse_key_pattern("E")), [1, 0, 0, 0, 0, 0, 0, 0])
        self.assertEqual(list(tci_server.morse_key_pattern("T")[:4]), [1, 1, 1, 0])

    def test_cw_is_keyed_on_and_off(self):
        env = np.abs(CwSignal(0.0, 1.0, "CQ", 30).render(0, self.FS * 2, self.FS))
        self.assertTrue(0.3 < np.mean(env > 0.5) < 0.8)
        self.assertAlmostEqual(float(env.max()), 1.0, places=6)

    def test_ssb_occupies_its_sideband(self):
        fs = self.FS
        usb = SsbSignal(6000.0, 0.1, upper=True).render(0, 4096 * 4, fs)
        freqs = np.fft.fftfreq(usb.size, 1 / fs)
        power = np.abs(np.fft.fft(usb)) ** 2
        inside = power[(freqs > 6000 + 250) & (freqs < 6000 + 2750)].sum()
        self.assertGreater(inside / power.sum(), 0.95)

    def test_noise_level(self):
        block = Band([], noise=0.01, seed=3).render(0, 48000, self.FS)
        self.assertAlmostEqual(float(np.sqrt(np.mean(np.abs(block) ** 2))), 0.01, delta=0.001)


class ClientSession:
    """An independent WebSocket client driven from the test thread."""

    def __init__(self, url):
        self.url = url
        self.loop = asyncio.new_event_loop()
        try:
            self.ws = self.loop.run_until_complete(self._connect(url))
        except BaseException:
            self.loop.close()
            raise

    @staticmethod
    async def _connect(url):
        # Built inside the running loop: older websockets bind the loop at construction.
        return await websockets.connect(url, compression=None, max_size=None)

    def recv(self, timeout=5.0):
        return self.loop.run_until_complete(asyncio.wait_for(self.ws.recv(), timeout))

    def send(self, text):
        self.loop.run_until_complete(self.ws.send(text))

    def close(self):
        self.loop.run_until_complete(self.ws.close())
        self.loop.close()


class TciServerBehaviour(unittest.TestCase):
    def setUp(self):
        self.server = tci_server.TciServer(band=Band([Tone(3000.0, 0.1)]), ping_interval=None)
        self.server.start()
        self.addCleanup(self.server.close)

    def connect(self):
        client = ClientSession(self.server.url)
        self.addCleanup(client.close)
        return client

    def read_greeting(self, client):
        return [client.recv() for _ in range(len(tci_server.greeting()))]

    def test_greeting_in_expertsdr_order(self):
        got = self.read_greeting(self.connect())
        names = [tci_server.split_command(t)[0] for t in got]
        self.assertEqual(names, ["protocol", "device", "receive_only", "trx_count",
                                 "channels_count", "vfo_limits", "if_limits",
                                 "modulations_list", "iq_samplerate", "dds", "if", "vfo",
                                 "modulation", "start", "ready"])
        self.assertIn("dds:0,14074000;", got)
        self.assertEqual(got[-2:], ["start;", "ready;"])

    def test_records_commands_with_times(self):
        client = self.connect()
        self.read_greeting(client)
        before = time.monotonic()
        client.send("spot:K1ABC,cw,14025300,4283541759,CW;")
        client.send("spot_delete:K1ABC;")
        self.assertTrue(self.server.wait_for_count(lambda t: t.startswith("spot"), 2, 5))
        self.assertEqual(self.server.texts(), ["spot:K1ABC,cw,14025300,4283541759,CW;",
                                               "spot_delete:K1ABC;"])
        self.assertTrue(all(r.t >= before and r.connection == 1 for r in self.server.received))

    def test_streams_iq_after_iq_start_and_stops_on_iq_stop(self):
        client = self.connect()
        self.read_greeting(client)
        client.send("iq_samplerate:48000;")
        client.send("iq_start:0;")
        frames = []
        start = time.monotonic()
        while time.monotonic() - start < 1.0:
            message = client.recv()
            self.assertIsInstance(message, bytes)
            frames.append(parse_iq_frame(message))
        # 48000 / 2048 = 23.4 frames a second.
        self.assertTrue(18 <= len(frames) <= 30, len(frames))
        self.assertTrue(all(f.receiver == 0 and f.sample_rate == 48000 and f.length == 4096
                            for f in frames))
        block = np.concatenate([frames[0].samples, frames[1].samples])
        self.assertEqual(int(np.argmax(np.abs(np.fft.fft(block)))), 256)
        client.send("iq_stop:0;")
        with self.assertRaises(asyncio.TimeoutError):
            while True:      # drain frames already in flight, then silence
                client.recv(timeout=0.5)

    def test_sends_stop_start_and_dds_on_demand(self):
        client = self.connect()
        self.read_greeting(client)
        self.server.send_stop()
        self.server.send_dds(0, 7074000)
        self.server.send_start()
        self.assertEqual([client.recv() for _ in range(3)], ["stop;", "dds:0,7074000;", "start;"])

    def test_drops_and_accepts_again(self):
        client = self.connect()
        self.read_greeting(client)
        self.server.drop()
        with self.assertRaises(websockets.ConnectionClosed):
            client.recv()
        second = self.connect()
        self.assertEqual(self.read_greeting(second)[0], "protocol:ExpertSDR3,1.8;")
        self.assertEqual(self.server.connection_count(), 2)

    def test_stop_listening_refuses_until_listening_again(self):
        client = self.connect()
        self.read_greeting(client)
        self.server.stop_listening()
        with self.assertRaises(OSError):
            ClientSession(self.server.url)
        client.send("still:here;")          # the open connection carries on
        self.assertIsNotNone(self.server.wait_for_text("still:here;", 5))
        self.server.start_listening()
        self.read_greeting(self.connect())


class N1mmDatagrams(unittest.TestCase):
    def test_spot_layout(self):
        data = n1mm.spot_datagram("K1ABC", 14025.3, "double mult", "CW 25 WPM & <up>",
                                  timestamp="2024/06/01 12:00:00")
        self.assertTrue(data.startswith(b'<?xml version="1.0" encoding="utf-8"?>'))
        root = ET.fromstring(data)
        self.assertEqual(root.tag, "spot")
        fields = {child.tag: child.text for child in root}
        for name in ("StationName", "dxcall", "frequency", "spottercall", "comment", "status",
                     "statuslist", "timestamp", "action"):
            self.assertIn(name, fields)
        self.assertEqual(fields["frequency"], "14025.3")
        self.assertEqual(fields["comment"], "CW 25 WPM & <up>")
        self.assertEqual(fields["action"], "add")
        self.assertLess(len(data), 1024)

    def test_spot_with_an_element_left_out(self):
        root = ET.fromstring(n1mm.spot_datagram("K1ABC", 7000, omit=("comment",)))
        self.assertIsNone(root.find("comment"))
        self.assertEqual(root.find("frequency").text, "7000.0")

    def test_radio_info_layout(self):
        data = n1mm.radio_info_datagram(14025.3, radio_nr=2)
        root = ET.fromstring(data)
        self.assertEqual(root.tag, "RadioInfo")
        self.assertEqual(root.find("RadioNr").text, "2")
        self.assertEqual(root.find("Freq").text, "1402530")     # tens of hertz
        self.assertEqual(root.find("TXFreq").text, "1402530")
        self.assertEqual(root.find("Mode").text, "CW")
        self.assertLess(len(data), 1024)

    def test_parse_spectrum_packet(self):
        text = ('<?xml version="1.0" encoding="UTF-8"?>\n<Spectrum>\n'
                '    <app>WaterfallBandmap</app>\n    <Name>ExpertSDR</Name>\n'
                '    <LowScopeFrequency>14050.123</LowScopeFrequency>\n'
                '    <HighScopeFrequency>14098.123</HighScopeFrequency>\n'
                '    <ScalingFactor>0.3</ScalingFactor>\n    <DataCount>3</DataCount>\n'
                '    <SpectrumData>40,0,65535</SpectrumData>\n</Spectrum>\n')
        p = n1mm.parse_spectrum(text.encode())
        self.assertEqual((p.app, p.name, p.scaling, p.count), ("WaterfallBandmap", "ExpertSDR",
                                                                "0.3", 3))
        self.assertEqual((p.low_khz, p.high_khz, p.low_text), (14050.123, 14098.123, "14050.123"))
        self.assertEqual(p.values, [40, 0, 65535])

    def test_parse_spectrum_refuses_broken_packets(self):
        for bad in (b"<Spectrum><app>x</app>", b"<Other/>", b"<Spectrum><app>x</app></Spectrum>"):
            with self.assertRaises(ValueError):
                n1mm.parse_spectrum(bad)

    def test_peer_sends_to_spot_port_and_receives_spectra(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as spot:
            spot.bind(("127.0.0.1", 0))
            spot.settimeout(5)
            with n1mm.N1mm(spot.getsockname()[1]) as peer:
                peer.spot("DL1ABC", 7012.5, "cq", "CQ TEST")
                data, _ = spot.recvfrom(2048)
                self.assertEqual(ET.fromstring(data).find("dxcall").text, "DL1ABC")
                packet = ('<Spectrum><app>WaterfallBandmap</app><Name>ExpertSDR</Name>'
                          '<LowScopeFrequency>1</LowScopeFrequency><HighScopeFrequency>2'
                          '</HighScopeFrequency><ScalingFactor>0.3</ScalingFactor><DataCount>1'
                          '</DataCount><SpectrumData>7</SpectrumData></Spectrum>')
                spot.sendto(packet.encode(), ("127.0.0.1", peer.spectrum_port))
                spot.sendto(b"<Spectrum>", ("127.0.0.1", peer.spectrum_port))
                self.assertTrue(peer.wait_packets(1, 5))
                self.assertEqual(peer.snapshot()[0].values, [7])
                self.assertTrue(tarnwick_process.wait_for(lambda: peer.malformed, 5))


class SettingsFile(unittest.TestCase):
    def test_layout(self):
        text = tarnwick_process.settings_xml(N1MMSpotPort=5555, SpectrumDisplayEnabled=True,
                                             TCIHost="a&b")
        self.assertTrue(text.startswith("<Tarnwick>\n    <!--"))
        root = ET.fromstring(text)
        names = [child.tag for child in root]
        self.assertEqual(names[:3], ["Debug", "N1MMSpotPort", "TCIHost"])
        self.assertEqual(names[-1], "Transverters")
        self.assertEqual(root.find("N1MMSpotPort").text, "5555")
        self.assertEqual(root.find("TCIHost").text, "a&b")
        self.assertEqual(root.find("SpotBusyColour").text, "0xff4d4d4d")
        self.assertEqual(root.find("SpectrumDisplayEnabled").text, "true")
        rows = [(t.get("rf"), t.get("if")) for t in root.find("Transverters")]
        self.assertEqual(rows, [("1296000", "144000"), ("432000", "28000")])

    def test_unknown_setting_is_refused(self):
        with self.assertRaises(KeyError):
            tarnwick_process.settings_xml(SpotLifetime=5)

    def test_udp_port_bound(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("0.0.0.0", 0))
            port = s.getsockname()[1]
            self.assertTrue(tarnwick_process.udp_port_bound(port))
        self.assertFalse(tarnwick_process.udp_port_bound(port))


if __name__ == "__main__":
    unittest.main(verbosity=2)
