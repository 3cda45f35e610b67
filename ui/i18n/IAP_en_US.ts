<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>Upgrade Assistant</source>
        <translation>Upgrade Assistant</translation>
    </message>
    <message>
        <source>加载固件</source>
        <translation>Load firmware</translation>
    </message>
    <message>
        <source>固件路径：</source>
        <translation>Firmware path:</translation>
    </message>
    <message>
        <source>选择固件</source>
        <translation>Select</translation>
    </message>
    <message>
        <source>通信操作</source>
        <translation>Communication</translation>
    </message>
    <message>
        <source>端口号：</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>刷新</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>信息窗口</source>
        <translation>Information</translation>
    </message>
    <message>
        <source>清除窗口</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>下载固件</source>
        <translation>Download</translation>
    </message>
    <message>
        <source>配置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>语言</source>
        <translation>Language</translation>
    </message>
    <message>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>中文</source>
        <translation>Chinese</translation>
    </message>
    <message>
        <source>English</source>
        <translation>English</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
</context>
</TS>
