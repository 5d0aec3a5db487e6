<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en">
<context>
    <name>Controler</name>
    <message>
        <location filename="../../app/Controler.cpp" line="+141"/>
        <source>无法更改开机启动设置</source>
        <translation>The log-on start cannot be changed</translation>
    </message>
    <message>
        <location line="+16"/>
        <source>未设置开机启动：其他用户可以替换本程序</source>
        <translation>Not started at log-on: other users could replace this program</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <location filename="../../ui/MainWindow.ui" line="+20"/>
        <source>Velmora</source>
        <translation>Velmora</translation>
    </message>
    <message>
        <location line="+42"/>
        <source>长</source>
        <translation>Width</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>宽</source>
        <translation>Height</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>颜色位数</source>
        <translation>Bits</translation>
    </message>
    <message>
        <location line="+5"/>
        <source>刷新率</source>
        <translation>Hz</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>应用</source>
        <translation>Apply</translation>
    </message>
    <message>
        <location line="+10"/>
        <location filename="../../ui/MainWindow.cpp" line="+220"/>
        <source>锁定</source>
        <translation>Lock</translation>
    </message>
    <message>
        <location line="+46"/>
        <source>帮助</source>
        <translation>Help</translation>
    </message>
    <message>
        <location line="+6"/>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <location line="+11"/>
        <location filename="../../ui/MainWindow.cpp" line="+289"/>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>开机后台运行</source>
        <translation>Start at log-on in the background</translation>
    </message>
    <message>
        <location line="+11"/>
        <source>保持当前排列</source>
        <translation>Hold this arrangement</translation>
    </message>
    <message>
        <location line="+14"/>
        <source>最小化时隐藏</source>
        <translation>Hide when minimised</translation>
    </message>
    <message>
        <location filename="../../ui/MainWindow.cpp" line="-232"/>
        <source>当前屏幕设置：&lt;br /&gt;分辨率 %1x%2&lt;br /&gt;颜色位数 %3&lt;br /&gt;刷新率 %4</source>
        <translation>Current display mode:&lt;br /&gt;Resolution %1x%2&lt;br /&gt;Colour depth %3 bits&lt;br /&gt;Refresh rate %4 Hz</translation>
    </message>
    <message>
        <location line="+39"/>
        <location line="+17"/>
        <source>显示设置</source>
        <translation>Display Settings</translation>
    </message>
    <message>
        <location line="-17"/>
        <source>是否保留这些设置？15秒后恢复原设置</source>
        <translation>Keep these display settings? The previous settings come back in 15 seconds.</translation>
    </message>
    <message>
        <location line="-8"/>
        <source>无法恢复原来的显示设置</source>
        <translation>The previous display settings could not be restored</translation>
    </message>
    <message>
        <location line="-88"/>
        <source>已锁定</source>
        <translation>Locked</translation>
    </message>
    <message>
        <location line="-40"/>
        <source>（主显示器）</source>
        <translation>(primary)</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>锁定于 %1x%2 %3 Hz</source>
        <translation>held at %1x%2 %3 Hz</translation>
    </message>
    <message>
        <location line="+3"/>
        <source>（排列已保持）</source>
        <translation>(arrangement held)</translation>
    </message>
    <message>
        <location line="+51"/>
        <source>未保持排列：需要两台以上正在使用的显示器</source>
        <translation>No arrangement held: two or more monitors must be in use</translation>
    </message>
    <message>
        <location line="+30"/>
        <source>已保持 %1 台显示器的排列</source>
        <translation>Arrangement of %1 monitors held</translation>
    </message>
    <message>
        <location line="+114"/>
        <source>未锁定：没有可保持的显示模式</source>
        <translation>Not locked: there is no display mode to hold</translation>
    </message>
    <message>
        <location line="+124"/>
        <source>&lt;h1&gt;Velmora&lt;/h1&gt;&lt;h2&gt;v%1&lt;/h2&gt;&lt;a href=&quot;%2&quot;&gt;Velmora&lt;/a&gt; is powered by &lt;a href=&quot;%3&quot;&gt;Orvanne&lt;/a&gt;</source>
        <translation>&lt;h1&gt;Velmora&lt;/h1&gt;&lt;h2&gt;v%1&lt;/h2&gt;&lt;a href=&quot;%2&quot;&gt;Velmora&lt;/a&gt; is powered by &lt;a href=&quot;%3&quot;&gt;Orvanne&lt;/a&gt;</translation>
    </message>
    <message>
        <location line="-212"/>
        <location line="+9"/>
        <source>无法应用该显示设置</source>
        <translation>The display settings could not be applied</translation>
    </message>
    <message>
        <location line="-166"/>
        <source>此桌面不支持更改显示模式</source>
        <translation>This desktop does not support changing the display mode</translation>
    </message>
</context>
<context>
    <name>Tray</name>
    <message>
        <location filename="../../ui/Tray.cpp" line="+23"/>
        <source>显示/隐藏</source>
        <translation>Show/Hide</translation>
    </message>
    <message>
        <location line="+2"/>
        <source>保持当前排列</source>
        <translation>Hold this arrangement</translation>
    </message>
    <message>
        <location line="+4"/>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
</context>
</TS>
