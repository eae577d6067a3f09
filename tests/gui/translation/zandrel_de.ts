<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- A few German texts for the translation test; not installed. -->
<TS version="2.1" language="de">
<context>
    <name>EngineText</name>
    <message><source>Idle</source><translation>Untätig</translation></message>
    <message><source>Connected</source><translation>Verbunden</translation></message>
    <message><source>Retrying in %1 s</source><translation>Neuer Versuch in %1 s</translation></message>
    <message><source>Stopped: %1</source><translation>Gestoppt: %1</translation></message>
    <message><source>Stopped: Zandrel quit</source><translation>Gestoppt: Zandrel wurde beendet</translation></message>
    <message><source>No password given</source><translation>Kein Passwort eingegeben</translation></message>
    <message><source>%1. Correct the option (in the tunnel&apos;s ssh options or in ~/.ssh/config), then press Start.</source><translation>%1. Korrigieren Sie die Option (in den ssh-Optionen des Tunnels oder in ~/.ssh/config) und drücken Sie dann Start.</translation></message>
    <message><source>Port %1: the target %2 refused %3 connections, last at %4 (%5)</source><translation>Port %1: Das Ziel %2 lehnte %3 Verbindungen ab, zuletzt um %4 (%5)</translation></message>
    <message><source>Hide Tunnels</source><translation>Tunnel ausblenden</translation></message>
</context>
<context>
    <name>MainMenu</name>
    <message><source>&amp;Preferences…</source><translation>&amp;Einstellungen…</translation></message>
</context>
<context>
    <name>TunnelDetailsWindow</name>
    <message><source>Details: %1</source><translation>Einzelheiten: %1</translation></message>
</context>
<context>
    <name>TunnelsWindowController</name>
    <message><source>Zandrel: %1 of %2 tunnels connected</source><translation>Zandrel: %1 von %2 Tunneln verbunden</translation></message>
</context>
</TS>
