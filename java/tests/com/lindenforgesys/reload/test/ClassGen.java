package com.lindenforgesys.reload.test;

import java.io.ByteArrayOutputStream;
import java.io.DataOutputStream;
import java.io.IOException;

/** Writes minimal valid class files: a public class with a default constructor. */
public final class ClassGen {
    private ClassGen() {
    }

    /** The most padding one Utf8 constant holds. */
    public static final int MAX_PADDING = 65535;

    /**
     * A public class {@code internalName} extending Object with a public
     * no-argument constructor, in a class file of exactly {@code size}
     * bytes (padded with an unused Utf8 constant), or the smallest such file
     * when {@code size} is below its length. Sizes beyond that length plus
     * MAX_PADDING are refused.
     */
    public static byte[] generate(String internalName, int size) {
        byte[] smallest = write(internalName, 0);
        int padding = size - smallest.length;
        if (padding > MAX_PADDING) {
            throw new IllegalArgumentException("class files of " + size + " bytes are beyond one padding constant");
        }
        return padding <= 0 ? smallest : write(internalName, padding);
    }

    private static byte[] write(String internalName, int paddingLength) {
        try {
            ByteArrayOutputStream bytes = new ByteArrayOutputStream(paddingLength + 256);
            DataOutputStream out = new DataOutputStream(bytes);
            out.writeInt(0xCAFEBABE);
            out.writeShort(0);
            out.writeShort(52);
            out.writeShort(11);                 // constant pool count
            out.writeByte(1); out.writeUTF(internalName);          // #1
            out.writeByte(7); out.writeShort(1);                   // #2 this class
            out.writeByte(1); out.writeUTF("java/lang/Object");    // #3
            out.writeByte(7); out.writeShort(3);                   // #4 super class
            out.writeByte(1); out.writeUTF("<init>");              // #5
            out.writeByte(1); out.writeUTF("()V");                 // #6
            out.writeByte(12); out.writeShort(5); out.writeShort(6); // #7
            out.writeByte(10); out.writeShort(4); out.writeShort(7); // #8 Object.<init>
            out.writeByte(1); out.writeUTF("Code");                // #9
            StringBuilder padding = new StringBuilder(paddingLength);
            while (padding.length() < paddingLength) {
                padding.append('p');
            }
            out.writeByte(1); out.writeUTF(padding.toString());    // #10
            out.writeShort(0x0021);             // public super
            out.writeShort(2);
            out.writeShort(4);
            out.writeShort(0);                  // interfaces
            out.writeShort(0);                  // fields
            out.writeShort(1);                  // methods
            out.writeShort(0x0001);
            out.writeShort(5);
            out.writeShort(6);
            out.writeShort(1);
            out.writeShort(9);
            out.writeInt(17);
            out.writeShort(1);
            out.writeShort(1);
            out.writeInt(5);
            out.write(new byte[] {0x2a, (byte) 0xb7, 0x00, 0x08, (byte) 0xb1});
            out.writeShort(0);
            out.writeShort(0);
            out.writeShort(0);                  // class attributes
            return bytes.toByteArray();
        } catch (IOException e) {
            throw new IllegalStateException(e);
        }
    }

    /** A loader that defines what it is given. */
    public static final class Loader extends ClassLoader {
        public Loader() {
            super(ClassGen.class.getClassLoader());
        }

        public Class<?> define(String internalName, byte[] bytes) {
            return defineClass(internalName == null ? null : internalName.replace('/', '.'), bytes, 0, bytes.length);
        }
    }
}
