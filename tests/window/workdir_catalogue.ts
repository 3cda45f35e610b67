<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>Upgrade Assistant</source>
        <translation>Catalogue of the working folder</translation>
    </message>
    <message>
        <source>加载固件</source>
        <translation>Firmware (working folder)</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open it</translation>
    </message>
    <message>
        <source>下载固件</source>
        <translation>Start</translation>
    </message>
</context>
</TS>
