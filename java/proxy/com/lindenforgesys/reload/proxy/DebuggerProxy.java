package com.lindenforgesys.reload.proxy;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.lang.reflect.Method;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.util.Arrays;

/**
 * The reference debugger proxy that the native library runs beside a JVM
 * with a JDWP agent: a TCP forwarder. It listens on the proxy port (loopback
 * only) and, for each debugger connection, connects to the given host at the
 * JDWP port and copies bytes both ways until either side closes. It exits
 * when the process named by "vesta.parent.pid" is gone.
 *
 * Usage: java -Dvesta.parent.pid=PID -jar ts-debugger-proxy.jar PROXY_PORT HOST JDWP_PORT
 *
 * For the tests, the environment variable TS_PROXY_TEST_EXIT_AFTER_MS makes
 * it exit (status 0) after that many milliseconds.
 */
public final class DebuggerProxy {
    private DebuggerProxy() {
    }

    public static void main(String[] args) throws Exception {
        System.out.println("ts-debugger-proxy started: args=" + Arrays.toString(args) + " vesta.parent.pid="
                           + System.getProperty("vesta.parent.pid") + " vesta.base="
                           + System.getProperty("vesta.base"));
        System.out.flush();
        if (args.length != 3) {
            System.err.println("usage: DebuggerProxy PROXY_PORT HOST JDWP_PORT");
            System.exit(2);
        }
        final int proxyPort = Integer.parseInt(args[0]);
        final String host = args[1];
        final int jdwpPort = Integer.parseInt(args[2]);

        String exitAfter = System.getenv("TS_PROXY_TEST_EXIT_AFTER_MS");
        if (exitAfter != null) {
            daemon("exit-timer", new Runnable() {
                public void run() {
                    sleep(Long.parseLong(exitAfter));
                    System.out.println("ts-debugger-proxy exiting as requested");
                    System.exit(0);
                }
            });
        }
        String parent = System.getProperty("vesta.parent.pid");
        if (parent != null) {
            final long parentPid = Long.parseLong(parent);
            daemon("parent-watch", new Runnable() {
                public void run() {
                    while (alive(parentPid)) {
                        sleep(500);
                    }
                    System.out.println("ts-debugger-proxy: parent " + parentPid + " is gone");
                    System.exit(0);
                }
            });
        }

        ServerSocket server = new ServerSocket();
        server.setReuseAddress(true);
        server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), proxyPort));
        while (true) {
            final Socket debugger = server.accept();
            daemon("connection", new Runnable() {
                public void run() {
                    forward(debugger, host, jdwpPort);
                }
            });
        }
    }

    private static void forward(final Socket debugger, String host, int jdwpPort) {
        final Socket jvm;
        try {
            jvm = new Socket(host, jdwpPort);
        } catch (IOException e) {
            System.out.println("ts-debugger-proxy: cannot reach " + host + ":" + jdwpPort + ": " + e);
            close(debugger);
            return;
        }
        Thread back = daemon("jvm-to-debugger", new Runnable() {
            public void run() {
                copy(jvm, debugger);
            }
        });
        copy(debugger, jvm);
        try {
            back.join();
        } catch (InterruptedException ignored) {
            Thread.currentThread().interrupt();
        }
    }

    // Copies until the source closes, then closes both sockets so the other
    // direction ends too.
    private static void copy(Socket from, Socket to) {
        byte[] buffer = new byte[8192];
        try {
            InputStream in = from.getInputStream();
            OutputStream out = to.getOutputStream();
            for (int n; (n = in.read(buffer)) > 0; ) {
                out.write(buffer, 0, n);
                out.flush();
            }
        } catch (IOException ignored) {
            // a closed socket ends the copy
        } finally {
            close(from);
            close(to);
        }
    }

    private static boolean alive(long pid) {
        try {
            Class<?> handles = Class.forName("java.lang.ProcessHandle");
            Method of = handles.getMethod("of", long.class);
            Object handle = of.invoke(null, pid);
            Method isPresent = handle.getClass().getMethod("isPresent");
            if (!((Boolean) isPresent.invoke(handle))) {
                return false;
            }
            Method get = handle.getClass().getMethod("get");
            Object process = get.invoke(handle);
            Method isAlive = handles.getMethod("isAlive");
            return (Boolean) isAlive.invoke(process);
        } catch (ReflectiveOperationException e) {
            return new File("/proc/" + pid).exists();  // Java 8 on Linux
        }
    }

    private static Thread daemon(String name, Runnable body) {
        Thread thread = new Thread(body, "ts-debugger-proxy-" + name);
        thread.setDaemon(true);
        thread.start();
        return thread;
    }

    private static void sleep(long millis) {
        try {
            Thread.sleep(millis);
        } catch (InterruptedException ignored) {
            Thread.currentThread().interrupt();
        }
    }

    private static void close(Socket socket) {
        try {
            socket.close();
        } catch (IOException ignored) {
            // already closed
        }
    }
}
